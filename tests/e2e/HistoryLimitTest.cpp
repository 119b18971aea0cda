#include "CurlRun.h"
#include "FakeOrigin.h"
#include "RunningProgram.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {
void writeOptions(const RunningProgram &program, const QByteArray &lines)
{
    QFile file(QFileInfo(program.settingsPath()).path() + QStringLiteral("/tarnwick-options.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(lines);
}
} // namespace

// Past the limit the history is cleared, or its oldest rows go; either way the records of the
// rows that went are deleted while exchanges keep being served, and with the history kept the
// records and the saved history outlive the run.
TEST(HistoryLimit, ModesDropRowsAndTheirRecordsWithoutStoppingTheProxy)
{
    const struct {
        const char *name;
        QByteArray options;
        const char *logLine; // after the limit was passed
        int recordsLeft; // -1: at most 20
    } rows[] = {
        { "clear", "HistoryLimit=10\n", "10 Temp File Limit Reached - Auto-Purging...", -1 },
        { "oldest", "HistoryLimit=10\nHistoryMode=oldest\n", "10 Row Limit Reached", 20 },
        { "kept at exit", "HistoryLimit=10\nHistoryMode=oldest\nKeepHistory=true\n", "10 Row Limit Reached", 20 },
    };
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc") },
        FakeOrigin::Closing::WhenAsked);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        RunningProgram program;
        writeOptions(program, row.options);
        ASSERT_TRUE(program.startListening()) << program.stderrText();
        // Regression: the purge nested an event loop that held the exchanges arriving meanwhile.
        QStringList args;
        for (int i = 0; i < 25; ++i)
            args << (args.isEmpty() ? QStringList() : QStringList { QStringLiteral("--next") })
                 << QStringLiteral("-x") << program.proxy() << origin.url(QStringLiteral("/%1").arg(i));
        const CurlResult curl = runCurl(args);
        EXPECT_EQ(curl.out, QByteArray("abc").repeated(25)) << curl.err.constData();
        EXPECT_TRUE(waitFor([&] { return program.log().contains(QLatin1String(row.logLine)); }, 5000))
            << qPrintable(program.log());
        const auto left = [&] { return program.recordFiles().size(); };
        EXPECT_TRUE(waitFor([&] { return row.recordsLeft < 0 ? left() <= 20 : left() == row.recordsLeft; }, 5000))
            << left();
        const QString saved = QFileInfo(program.settingsPath()).path() + QStringLiteral("/history.har");
        ASSERT_TRUE(program.terminate()) << program.stderrText();
        const bool kept = row.options.contains("KeepHistory=true");
        EXPECT_EQ(left(), kept ? 20 : 0);
        EXPECT_EQ(QFileInfo(saved).size() > 0, kept);
        if (!kept)
            continue;
        // The next run opens the saved history, ticks and records included, and saves it again.
        RunningProgram again(&program);
        ASSERT_TRUE(again.startListening()) << again.stderrText();
        ASSERT_TRUE(again.terminate()) << again.stderrText();
        EXPECT_EQ(left(), 20) << "the kept records are used again, not copied";
        QFile har(saved);
        ASSERT_TRUE(har.open(QIODevice::ReadOnly));
        EXPECT_EQ(QJsonDocument::fromJson(har.readAll())[u"log"_s][u"entries"_s].toArray().size(), 10);
    }
}

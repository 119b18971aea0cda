#include "CurlRun.h"
#include "FakeOrigin.h"
#include "RunningProgram.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

namespace {

// Sends three GETs on one curl connection through the running program; while their history
// shows, runs whileShown; then ends the program with SIGTERM and checks that it ended in order:
// exit code 0, settings written, unchecked records purged.
// Regression: every exchange cost a browser connection and a server connection.
void browseThenTerminate(RunningProgram &program, const std::function<void()> &whileShown)
{
    ASSERT_TRUE(program.startListening()) << program.stderrText();
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc") },
        FakeOrigin::Closing::WhenAsked);
    QStringList args;
    for (const char *path : { "/index.html", "/style.css", "/a?b=c" })
        args << (args.isEmpty() ? QStringList() : QStringList { QStringLiteral("--next") })
             << QStringLiteral("-x") << program.proxy() << origin.url(QString::fromLatin1(path));
    const CurlResult curl = runCurl(args);
    EXPECT_EQ(curl.out, "abcabcabc") << curl.err.constData();
    EXPECT_EQ(origin.connectionsAccepted, 1);
    EXPECT_TRUE(waitFor([&] { return program.recordFiles().size() == 6; }, 10000))
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    whileShown();
    ASSERT_TRUE(program.terminate()) << program.stderrText();
    EXPECT_EQ(program.settingsBytes(), program.settings);
    EXPECT_TRUE(program.recordFiles().isEmpty())
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(QByteArray(program.stderrText()).indexOf("AddressSanitizer"), -1) << program.stderrText();
}

} // namespace

// Regression: a request for the proxy's own address and port made it connect to itself again and
// again until it ran out of descriptors and died.
TEST(Program, RequestsForItsOwnAddressAreAnswered508WithoutPilingUpDescriptors)
{
    RunningProgram program;
    ASSERT_TRUE(program.startListening()) << program.stderrText();
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(program.process.processId()));
    const auto open
        = [&] { return fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(); };
    const QString self = QStringLiteral("http://%1:%2/x");
    const QStringList codeOnly = { QStringLiteral("-o/dev/null"),
        QStringLiteral("-w%{http_code} %{http_connect}"), QStringLiteral("-x"), program.proxy() };
    qsizetype before = 0;
    // The first round lets the program open what it keeps for good (name lookups, interfaces);
    // a loop, or a descriptor left per request, would show as many more than the slack of three.
    for (int round = 0; round < 4; ++round) {
        for (const QStringList &extra :
            { QStringList { self.arg(QStringLiteral("127.0.0.1")).arg(program.port) },
                QStringList { self.arg(QStringLiteral("localhost")).arg(program.port) },
                QStringList {
                    QStringLiteral("-p"), self.arg(QStringLiteral("127.0.0.1")).arg(program.port) } }) {
            const CurlResult curl = runCurl(codeOnly + extra);
            EXPECT_TRUE(curl.out.contains("508"))
                << extra.join(QLatin1Char(' ')).toStdString() << curl.out.constData();
        }
        if (round == 0)
            before = (waitFor([] { return false; }, 500), open());
    }
    EXPECT_TRUE(waitFor([&] { return open() <= before + 3; }, 5000))
        << open() << " descriptors, " << before << " before";
    EXPECT_TRUE(program.terminate()) << program.stderrText();
}

TEST(Program, ListensOnItsSettingsServesOneConnectionAndEndsInOrderOnSigterm)
{
    RunningProgram program;
    browseThenTerminate(program, [&] {
        // Without a screen the listening state is told on standard error.
        EXPECT_TRUE(QByteArray(program.stderrText())
                        .contains("Tarnwick: Listening on 127.0.0.1:" + QByteArray::number(program.port)));
    });
}

TEST(Program, OneRunPerFolderAndACrashedRunDoesNotBlockTheNext)
{
    RunningProgram first;
    ASSERT_TRUE(first.startListening()) << first.stderrText();
    const QDateTime modified = QFileInfo(first.settingsPath()).lastModified();

    RunningProgram second(&first);
    ASSERT_TRUE(second.start() && second.waitFinished());
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_TRUE(QByteArray(second.stderrText()).contains("Tarnwick is already running"))
        << second.stderrText();
    EXPECT_EQ(first.settingsBytes(), first.settings);
    EXPECT_EQ(QFileInfo(first.settingsPath()).lastModified(), modified);
    EXPECT_TRUE(first.listening());

    // A copy in another folder keeps its own settings and records, so it is not blocked.
    RunningProgram elsewhere;
    EXPECT_TRUE(elsewhere.startListening()) << elsewhere.stderrText();
    EXPECT_TRUE(elsewhere.terminate());

    // Guards against a lock file that outlives its process and keeps the program from starting.
    first.process.kill();
    ASSERT_TRUE(first.waitFinished());
    RunningProgram next(&first);
    EXPECT_TRUE(next.startListening()) << next.stderrText();
    EXPECT_TRUE(next.terminate()) << next.stderrText();
}

// The program on a real X server: a screenshot of the main window with a few exchanges in the
// history is kept as an artifact of the test run (not compared), and SIGTERM still ends it in order.
TEST(Program, RunsUnderXvfbWithItsHistoryOnScreen)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty())
        GTEST_SKIP() << "Xvfb or ImageMagick's import is not installed";
    // A display number nobody uses; another server may take it first, then the next is tried.
    QProcess server;
    QString display;
    for (int number = 90; number < 130 && display.isEmpty(); ++number) {
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) || QFileInfo::exists(socket))
            continue;
        server.start(xvfb,
            QStringLiteral(":%1 -screen 0 1024x768x24 -nolisten tcp").arg(number).split(QLatin1Char(' ')));
        if (server.waitForStarted(5000)
            && waitFor(
                [&] { return server.state() != QProcess::Running || QFileInfo::exists(socket); }, 10000)
            && server.state() == QProcess::Running)
            display = QStringLiteral(":%1").arg(number);
        else {
            server.kill();
            server.waitForFinished(5000);
        }
    }
    ASSERT_FALSE(display.isEmpty()) << "Xvfb did not start";

    RunningProgram program;
    program.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.environment.insert(QStringLiteral("DISPLAY"), display);
    browseThenTerminate(program, [&] {
        // Give the window a moment to paint its rows; nothing is asserted about the time it takes.
        waitFor([] { return false; }, 1500);
        const QString artifacts
            = QFileInfo(QStringLiteral(TARNWICK_EXECUTABLE)).absolutePath() + QStringLiteral("/../artifacts");
        QDir().mkpath(artifacts);
        const QString shot = artifacts + QStringLiteral("/tarnwick-xvfb.png");
        QFile::remove(shot);
        QProcess grab;
        grab.start(QStringLiteral("import"),
            { QStringLiteral("-display"), display, QStringLiteral("-window"), QStringLiteral("root"), shot });
        EXPECT_TRUE(grab.waitForFinished(30000));
        EXPECT_GT(QFileInfo(shot).size(), 0) << qPrintable(shot);
        std::printf("screenshot: %s\n", qPrintable(QFileInfo(shot).canonicalFilePath()));
    });
    server.terminate();
    server.waitForFinished(10000);
}

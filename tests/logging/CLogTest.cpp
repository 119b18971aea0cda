#include "CLog.h"
#include "ILogTextBox.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class FakeTextBox : public ILogTextBox
{
public:
    qsizetype textLength() const override { return text.size(); }
    void replaceAll(const QString &newText) override { text = newText; }
    void appendAtEnd(const QString &line) override { text += line; }

    QString text;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QDateTime Morning(QDate(2001, 7, 17), QTime(7, 15, 45));

class CLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        CLog::setNowForTest(Morning);
        ASSERT_TRUE(m_dir.isValid());
        m_file = m_dir.filePath(QStringLiteral("access.log"));
    }
    void TearDown() override
    {
        CLog::setNowForTest(std::nullopt);
        QLocale::setDefault(QLocale::system());
    }

    QTemporaryDir m_dir;
    QString m_file;
    FakeTextBox m_box;
};

TEST_F(CLogTest, StampFormatsTheMomentWithTheLocaleSeparators)
{
    // Guards against separators taken from beside a month name ("d MMM yyyy" under C, and so
    // under C.UTF-8), which made stamps read "12 06 2026".
    struct Row {
        const char *name;
        QLocale locale;
        const char *pattern;
        QTime time;
        const char *expected;
    };
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const char *usual = "mm/dd/yyyy hh:nn:ss ampm";
    const Row rows[] = {
        { "evening", us, usual, QTime(19, 5, 9), "07/17/2001 07:05:09 PM" },
        { "midnight is 12 AM", us, usual, QTime(0, 0, 0), "07/17/2001 12:00:00 AM" },
        { "noon is 12 PM", us, usual, QTime(12, 0, 0), "07/17/2001 12:00:00 PM" },
        { "without ampm 24 hours", us, "yyyy-mm-dd hh:nn:ss", QTime(19, 5, 9), "2001-07-17 19:05:09" },
        { "single letters unpadded", us, "d/m/yy h:n:s", QTime(7, 5, 9), "17/7/01 7:5:9" },
        { "upper-case tokens", us, "MM/DD/YYYY HH:NN:SS AMPM", QTime(13, 5, 9), "07/17/2001 01:05:09 PM" },
        { "other characters kept", us, "[yyyy] at hh_nn!", QTime(8, 30, 0), "[2001] at 08_30!" },
        { "C: month name in the short date", QLocale::c(), usual, QTime(19, 43, 46),
            "07/17/2001 07:43:46 PM" },
        { "German: dots between numbers", QLocale(QLocale::German), usual, QTime(19, 43, 46),
            "07.17.2001 07:43:46 PM" },
        { "Low German: a quoted word before the hour", QLocale(QLocale::LowGerman), usual, QTime(9, 3, 4),
            "07.17.2001 09.03.04 AM" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QLocale::setDefault(row.locale);
        EXPECT_EQ(CLog::formatStamp(QString::fromLatin1(row.pattern), QDateTime(Morning.date(), row.time)),
            QString::fromUtf8(row.expected));
    }
}

TEST_F(CLogTest, StampedLineReachesBoxAndIsAppendedToTheFileAsLatin1)
{
    {
        QFile f(m_file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("earlier\r\n");
    }
    CLog log;
    log.Setup(QString(), &m_box, m_file);
    log.Log(QStringLiteral("Proxy server started on 127.0.0.1:8080"));
    // Guards against request bytes above 127 being widened to several bytes in the file.
    log.Log(QString::fromLatin1("caf\xe9 \xff"));
    const QByteArray lines = "07/17/2001 07:15:45 AM: Proxy server started on 127.0.0.1:8080\r\n"
                             "07/17/2001 07:15:45 AM: caf\xe9 \xff\r\n";
    EXPECT_EQ(m_box.text, QString::fromLatin1(lines));
    EXPECT_EQ(readFile(m_file), "earlier\r\n" + lines);

    // The box is emptied, and the file deleted only when asked.
    log.Clear();
    EXPECT_TRUE(m_box.text.isEmpty());
    EXPECT_TRUE(QFile::exists(m_file));
    log.Clear(true);
    EXPECT_FALSE(QFile::exists(m_file));
    EXPECT_THROW(log.Clear(true), std::runtime_error);
}

TEST_F(CLogTest, PurgeOnlyPastTenThousandCharacters)
{
    CLog log;
    log.Setup(QString(), &m_box, std::nullopt);
    const QString line = QStringLiteral("07/17/2001 07:15:45 AM: next\r\n");
    for (const qsizetype length : { CLog::PurgeThreshold, CLog::PurgeThreshold + 1 }) {
        m_box.text = QString(length, QLatin1Char('x'));
        log.Log(QStringLiteral("next"));
        EXPECT_EQ(m_box.text,
            (length > CLog::PurgeThreshold ? QStringLiteral("07/17/2001 07:15:45 AM: Log Purged\r\n")
                                           : QString(length, QLatin1Char('x')))
                + line);
    }
}

TEST_F(CLogTest, UnwritableLogFileIsSkippedAndTheBareLineStillShown)
{
    const QString missingFolder = QDir(m_dir.path()).filePath(QStringLiteral("missing/access.log"));
    for (const QString &path : { missingFolder, m_dir.path() }) {
        SCOPED_TRACE(path.toStdString());
        FakeTextBox box;
        CLog log;
        log.Setup(std::nullopt, &box, path);
        EXPECT_NO_THROW(log.Log(QStringLiteral("still shown")));
        EXPECT_EQ(box.text, QStringLiteral("still shown\r\n"));
    }
    EXPECT_FALSE(QFile::exists(missingFolder));
}

} // namespace

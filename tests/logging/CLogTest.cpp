#include "CLog.h"
#include "RecordWriter.h"

#include "../support/MemoryLogBox.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

namespace {

const QDateTime Morning(QDate(2001, 7, 17), QTime(7, 15, 45));

class CLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        CLog::setNowForTest(Morning);
    }
    void TearDown() override
    {
        CLog::setNowForTest(std::nullopt);
        QLocale::setDefault(QLocale::system());
    }

    QTemporaryDir m_dir;
    MemoryLogBox m_box;
};

TEST_F(CLogTest, StampFormatsTheMomentWithTheLocaleSeparators)
{
    // Guards against separators taken from beside a month name ("d MMM yyyy" under C, and so
    // under C.UTF-8), which made stamps read "12 06 2026".
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const char *usual = "mm/dd/yyyy hh:nn:ss ampm";
    const std::tuple<const char *, QLocale, const char *, QTime, const char *> rows[] = {
        { "midnight is 12 AM", us, usual, QTime(0, 0, 0), "07/17/2001 12:00:00 AM" },
        { "noon is 12 PM", us, usual, QTime(12, 0, 0), "07/17/2001 12:00:00 PM" },
        { "without ampm 24 hours", us, "yyyy-mm-dd hh:nn:ss", QTime(19, 5, 9), "2001-07-17 19:05:09" },
        { "single letters unpadded", us, "d/m/yy h:n:s", QTime(7, 5, 9), "17/7/01 7:5:9" },
        { "upper-case tokens", us, "MM/DD/YYYY HH:NN:SS AMPM", QTime(13, 5, 9), "07/17/2001 01:05:09 PM" },
        { "other characters kept", us, "[yyyy] at hh_nn!", QTime(8, 30, 0), "[2001] at 08_30!" },
        { "C.UTF-8: a month name in the short date", QLocale(QStringLiteral("C.UTF-8")), usual,
            QTime(19, 43, 46), "07/17/2001 07:43:46 PM" },
        { "German: dots", QLocale(QLocale::German), usual, QTime(19, 43, 46), "07.17.2001 07:43:46 PM" },
    };
    for (const auto &[name, locale, pattern, time, expected] : rows) {
        SCOPED_TRACE(name);
        QLocale::setDefault(locale);
        EXPECT_EQ(CLog::formatStamp(QString::fromLatin1(pattern), QDateTime(Morning.date(), time)),
            QString::fromUtf8(expected));
    }
}

TEST_F(CLogTest, StampedLinesReachBoxAndFileWhichClearEmptiesPurgesOrSkips)
{
    const QString file = m_dir.filePath(QStringLiteral("access.log"));
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::WriteOnly) && written.write("earlier\r\n") == 9);
    written.close();
    CLog log;
    log.Setup(QString(), &m_box, file);
    log.Log(QStringLiteral("Proxy server started on 127.0.0.1:8080"));
    // Guards against request bytes above 127 being widened to several bytes in the file.
    log.Log(QString::fromLatin1("caf\xe9 \xff"));
    const QByteArray lines = "07/17/2001 07:15:45 AM: Proxy server started on 127.0.0.1:8080\r\n"
                             "07/17/2001 07:15:45 AM: caf\xe9 \xff\r\n";
    EXPECT_EQ(m_box.text, QString::fromLatin1(lines));
    ASSERT_TRUE(RecordWriter::instance().drain(5000));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "earlier\r\n" + lines);

    log.Clear();
    EXPECT_TRUE(m_box.text.isEmpty() && QFile::exists(file));
    log.Clear(true);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_THROW(log.Clear(true), std::runtime_error);

    // The box is purged only past ten thousand characters.
    const QString stamp = QStringLiteral("07/17/2001 07:15:45 AM: ");
    for (const qsizetype length : { CLog::PurgeThreshold, CLog::PurgeThreshold + 1 }) {
        m_box.text = QString(length, QLatin1Char('x'));
        const QString kept
            = length > CLog::PurgeThreshold ? stamp + QStringLiteral("Log Purged\r\n") : m_box.text;
        log.Log(QStringLiteral("next"));
        EXPECT_EQ(m_box.text, kept + stamp + QStringLiteral("next\r\n"));
    }

    // A log file that cannot be written is skipped; the line is still shown.
    for (const QString &path : { m_dir.filePath(QStringLiteral("missing/access.log")), m_dir.path() }) {
        log.setLogFile(path);
        m_box.text.clear();
        EXPECT_NO_THROW(log.Log(QStringLiteral("still shown")));
        EXPECT_EQ(m_box.text, stamp + QStringLiteral("still shown\r\n"));
    }
    ASSERT_TRUE(RecordWriter::instance().drain(5000));
    EXPECT_FALSE(QFile::exists(m_dir.filePath(QStringLiteral("missing/access.log"))));
}

} // namespace

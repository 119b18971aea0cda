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
    struct Row {
        const char *name;
        const char *pattern;
        QTime time;
        const char *expected;
    };
    const Row rows[] = {
        { "evening", "mm/dd/yyyy hh:nn:ss ampm", QTime(19, 5, 9), "07/17/2001 07:05:09 PM" },
        { "midnight is 12 AM", "mm/dd/yyyy hh:nn:ss ampm", QTime(0, 0, 0), "07/17/2001 12:00:00 AM" },
        { "noon is 12 PM", "mm/dd/yyyy hh:nn:ss ampm", QTime(12, 0, 0), "07/17/2001 12:00:00 PM" },
        { "without ampm 24 hours", "yyyy-mm-dd hh:nn:ss", QTime(19, 5, 9), "2001-07-17 19:05:09" },
        { "single letters unpadded", "d/m/yy h:n:s", QTime(7, 5, 9), "17/7/01 7:5:9" },
        { "upper-case tokens", "MM/DD/YYYY HH:NN:SS AMPM", QTime(13, 5, 9), "07/17/2001 01:05:09 PM" },
        { "other characters kept", "[yyyy] at hh_nn!", QTime(8, 30, 0), "[2001] at 08_30!" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CLog::formatStamp(QString::fromLatin1(row.pattern), QDateTime(Morning.date(), row.time)),
            QString::fromLatin1(row.expected));
    }
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(CLog::formatStamp(CLog::DefaultDateFormat, Morning).left(10), QStringLiteral("07.17.2001"));
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
    EXPECT_EQ(log.DateFormat(), CLog::DefaultDateFormat);
    log.Log(QStringLiteral("Proxy server started on 127.0.0.1:8080"));
    // Guards against request bytes above 127 being widened to several bytes in the file.
    log.Log(QString::fromLatin1("caf\xe9 \xff"));
    const QByteArray lines = "07/17/2001 07:15:45 AM: Proxy server started on 127.0.0.1:8080\r\n"
                             "07/17/2001 07:15:45 AM: caf\xe9 \xff\r\n";
    EXPECT_EQ(m_box.text, QString::fromLatin1(lines));
    EXPECT_EQ(readFile(m_file), "earlier\r\n" + lines);
}

TEST_F(CLogTest, PurgeOnlyPastTenThousandCharacters)
{
    CLog log;
    log.Setup(QString(), &m_box, std::nullopt);
    const QString line = QStringLiteral("07/17/2001 07:15:45 AM: next\r\n");

    m_box.text = QString(CLog::PurgeThreshold, QLatin1Char('x'));
    log.Log(QStringLiteral("next"));
    EXPECT_EQ(m_box.text, QString(CLog::PurgeThreshold, QLatin1Char('x')) + line);

    m_box.text = QString(CLog::PurgeThreshold + 1, QLatin1Char('x'));
    log.Log(QStringLiteral("next"));
    EXPECT_EQ(m_box.text, QStringLiteral("07/17/2001 07:15:45 AM: Log Purged\r\n") + line);
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

TEST_F(CLogTest, ClearEmptiesTheBoxAndPurgesTheFileOnlyWhenAsked)
{
    CLog log;
    log.Setup(std::nullopt, &m_box, m_file);
    log.Log(QStringLiteral("line"));

    log.Clear();
    EXPECT_TRUE(m_box.text.isEmpty());
    EXPECT_TRUE(QFile::exists(m_file));

    log.Clear(true);
    EXPECT_FALSE(QFile::exists(m_file));
    EXPECT_THROW(log.Clear(true), std::runtime_error);
}

} // namespace

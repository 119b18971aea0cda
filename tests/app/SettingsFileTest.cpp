#include "MainModule.h"
#include "ProgramValues.h"
#include "TestFolder.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

struct Values {
    const char *ip;
    qint32 port;
    const char *log;
};

void setValues(const Values &v)
{
    ServerIP = QString::fromUtf8(v.ip);
    ServerPort = v.port;
    LogFileName = QString::fromUtf8(v.log);
}

void expectValues(const Values &v)
{
    EXPECT_EQ(ServerIP, QString::fromUtf8(v.ip));
    EXPECT_EQ(ServerPort, v.port);
    EXPECT_EQ(LogFileName, QString::fromUtf8(v.log));
}

} // namespace

TEST(SettingsFile, WritesThreeCrLfLinesWithTheSpacedPortAndReadsThemBack)
{
    const struct {
        const char *name;
        Values values;
        QByteArray expected;
    } rows[] = {
        { "address, port and log file", { "192.168.1.5", 8080, "/var/log/t.txt" },
            "192.168.1.5\r\n 8080 \r\n/var/log/t.txt\r\n" },
        { "nothing set", { "", 0, "" }, "\r\n 0 \r\n\r\n" },
        { "negative port takes the sign's place", { "", -5, "" }, "\r\n-5 \r\n\r\n" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        setValues(row.values);
        QString error;
        ASSERT_TRUE(WriteSettings(&error)) << qPrintable(error);
        QFile file(settingsFilePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), row.expected);

        setValues({ "other", 1, "other" });
        ReadSettings();
        expectValues(row.values);
    }
}

TEST(SettingsFile, PartialAndMalformedFilesStopAtTheFirstBadLine)
{
    const Values before { "old-ip", 1234, "old.log" };
    const struct {
        const char *name;
        const char *content; // nullptr: no file at all
        Values expected;
    } rows[] = {
        { "no file", nullptr, before },
        { "empty file", "", before },
        { "complete with spaced port", "10.0.0.1\r\n 5000 \r\nlog.txt\r\n", { "10.0.0.1", 5000, "log.txt" } },
        { "port without spaces", "10.0.0.1\r\n5000\r\nlog.txt\r\n", { "10.0.0.1", 5000, "log.txt" } },
        { "negative port", "10.0.0.1\r\n-5 \r\nlog.txt\r\n", { "10.0.0.1", -5, "log.txt" } },
        { "only the first line", "10.0.0.1\r\n", { "10.0.0.1", 1234, "old.log" } },
        { "first line without line end", "10.0.0.1", { "10.0.0.1", 1234, "old.log" } },
        { "empty second line", "10.0.0.1\r\n\r\nlog.txt\r\n", { "10.0.0.1", 1234, "old.log" } },
        { "second line not a number", "10.0.0.1\r\nabc\r\nlog.txt\r\n", { "10.0.0.1", 1234, "old.log" } },
        { "port beyond 32 bits", "10.0.0.1\r\n 4294967296 \r\nlog.txt\r\n", { "10.0.0.1", 1234, "old.log" } },
        { "two lines only", "10.0.0.1\r\n 80 \r\n", { "10.0.0.1", 80, "old.log" } },
        { "empty lines are values", "\r\n 0 \r\n\r\n", { "", 0, "" } },
        { "LF line ends", "10.0.0.1\n 81 \nlog.txt\n", { "10.0.0.1", 81, "log.txt" } },
        { "no line end after the third line", "10.0.0.1\r\n 82 \r\nlog.txt", { "10.0.0.1", 82, "log.txt" } },
        { "lines after the third are ignored", "a\r\n 83 \r\nb\r\nc\r\n", { "a", 83, "b" } },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        QFile file(settingsFilePath());
        if (row.content) {
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(row.content) >= 0 && file.flush());
        }
        setValues(before);
        ReadSettings();
        expectValues(row.expected);
    }
}

#include "MainModule.h"
#include "ProgramValues.h"
#include "TestFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Values = std::tuple<QString, qint32, QString>;

Values values(const char *ip, qint32 port, const char *log)
{
    return { QLatin1String(ip), port, QLatin1String(log) };
}

void setValues(const Values &v)
{
    std::tie(ServerIP, ServerPort, LogFileName) = v;
}

} // namespace

TEST(SettingsFile, ReadsUpToTheFirstBadLineAndWritesThreeCrLfLinesWithTheSpacedPort)
{
    const Values before = values("old-ip", 1234, "old.log");
    const struct {
        const char *name;
        const char *content; // nullptr: no file at all
        Values expected;
        bool written = false; // writing the expected values gives back the content
    } rows[] = {
        { "no file", nullptr, before },
        { "empty file", "", before },
        { "complete with spaced port", "10.0.0.1\r\n 5000 \r\nlog.txt\r\n",
            values("10.0.0.1", 5000, "log.txt"), true },
        { "port without spaces", "10.0.0.1\r\n5000\r\nlog.txt\r\n", values("10.0.0.1", 5000, "log.txt") },
        { "negative port takes the sign's place", "10.0.0.1\r\n-5 \r\nlog.txt\r\n",
            values("10.0.0.1", -5, "log.txt"), true },
        { "only the first line", "10.0.0.1\r\n", values("10.0.0.1", 1234, "old.log") },
        { "first line without line end", "10.0.0.1", values("10.0.0.1", 1234, "old.log") },
        { "empty second line", "10.0.0.1\r\n\r\nlog.txt\r\n", values("10.0.0.1", 1234, "old.log") },
        { "second line not a number", "10.0.0.1\r\nabc\r\nlog.txt\r\n", values("10.0.0.1", 1234, "old.log") },
        { "port beyond 32 bits", "10.0.0.1\r\n 4294967296 \r\nlog.txt\r\n",
            values("10.0.0.1", 1234, "old.log") },
        { "two lines only", "10.0.0.1\r\n 80 \r\n", values("10.0.0.1", 80, "old.log") },
        { "empty lines are values", "\r\n 0 \r\n\r\n", values("", 0, ""), true },
        { "LF line ends", "10.0.0.1\n 81 \nlog.txt\n", values("10.0.0.1", 81, "log.txt") },
        { "no line end after the third line", "10.0.0.1\r\n 82 \r\nlog.txt",
            values("10.0.0.1", 82, "log.txt") },
        { "lines after the third are ignored", "a\r\n 83 \r\nb\r\nc\r\n", values("a", 83, "b") },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        QFile file(settingsFilePath());
        if (row.content)
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(row.content) >= 0 && file.flush());
        file.close();
        setValues(before);
        ReadSettings();
        EXPECT_EQ(std::tie(ServerIP, ServerPort, LogFileName), row.expected);
        if (!row.written)
            continue;
        QString error;
        ASSERT_TRUE(WriteSettings(&error)) << qPrintable(error);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), row.content);
    }
}

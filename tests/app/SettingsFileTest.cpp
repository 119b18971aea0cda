#include "MainModule.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "TestFolder.h"
#include "Wait.h"
#include "frmMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

struct Values {
    QString ip;
    qint32 port;
    QString log;
};

void setValues(const Values &v)
{
    ServerIP = v.ip;
    ServerPort = v.port;
    LogFileName = v.log;
}

} // namespace

TEST(SettingsFile, WritesThreeCrLfLinesWithTheSpacedPort)
{
    struct Row {
        const char *name;
        Values values;
        QByteArray expected;
    } rows[] = {
        { "address, port and log file",
            { QStringLiteral("192.168.1.5"), 8080, QStringLiteral("/var/log/t.txt") },
            "192.168.1.5\r\n 8080 \r\n/var/log/t.txt\r\n" },
        { "nothing set", { QString(), 0, QString() }, "\r\n 0 \r\n\r\n" },
        { "negative port takes the sign's place", { QString(), -5, QString() }, "\r\n-5 \r\n\r\n" },
        { "largest port value", { QStringLiteral("::1"), 2147483647, QStringLiteral("a b.txt") },
            "::1\r\n 2147483647 \r\na b.txt\r\n" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        setValues(row.values);
        QString error;
        ASSERT_TRUE(WriteSettings(&error)) << qPrintable(error);
        EXPECT_EQ(readFile(settingsFilePath()), row.expected);

        // What was written reads back as the same values.
        setValues({ QStringLiteral("other"), 1, QStringLiteral("other") });
        ReadSettings();
        EXPECT_EQ(ServerIP, row.values.ip);
        EXPECT_EQ(ServerPort, row.values.port);
        EXPECT_EQ(LogFileName, row.values.log);
    }
}

TEST(SettingsFile, PartialAndMalformedFilesStopAtTheFirstBadLine)
{
    struct Expected {
        const char *ip;
        qint32 port;
        const char *log;
    };
    const Expected before { "old-ip", 1234, "old.log" };
    struct Row {
        const char *name;
        const char *content; // nullptr: no file at all
        Expected expected;
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
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        if (row.content)
            writeFile(settingsFilePath(), row.content);
        setValues({ QString::fromUtf8(before.ip), before.port, QString::fromUtf8(before.log) });
        ReadSettings();
        EXPECT_EQ(ServerIP, QString::fromUtf8(row.expected.ip));
        EXPECT_EQ(ServerPort, row.expected.port);
        EXPECT_EQ(LogFileName, QString::fromUtf8(row.expected.log));
    }
}

class StartUpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon icon) {
            messages.append(text);
            icons.append(icon);
        });
        setQuitHookForTest([this](int code) { exitCodes.append(code); });
        setValues({ QString(), 0, QString() });
        folder = QDir::toNativeSeparators(dir.path()) + QDir::separator();
        // A free port, so the server never falls back to port 80.
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }

    void TearDown() override
    {
        if (frmMain *main = mainWindow())
            main->endProgram();
        flushDeferredDeletes();
        MessageBox::setHookForTest({});
        setQuitHookForTest({});
        frmMain::setTrayAvailableForTest(std::nullopt);
    }

    void writeIni()
    {
        writeFile(folder + QStringLiteral("tarnwick.ini"),
            "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n");
    }

    QTemporaryDir dir;
    QString folder;
    quint16 port = 0;
    QStringList messages;
    QList<MessageBox::Icon> icons;
    QList<int> exitCodes;
};

TEST_F(StartUpTest, PreparesTheRequestsFolderReadsTheSettingsAndShowsTheWindow)
{
    const struct {
        const char *name;
        bool requestsIsAFile;
    } rows[] = {
        { "no requests entry: the folder is created", false },
        { "a file named requests counts as present", true },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir fresh;
        folder = QDir::toNativeSeparators(fresh.path()) + QDir::separator();
        writeIni();
        if (row.requestsIsAFile)
            writeFile(folder + QStringLiteral("requests"), "not a folder");
        int exitCode = -1;
        ASSERT_TRUE(StartUp(fresh.path(), &exitCode));
        EXPECT_EQ(AppFolder, folder);
        EXPECT_EQ(QFileInfo(folder + QStringLiteral("requests")).isFile(), row.requestsIsAFile);
        EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("requests")));
        EXPECT_EQ(ServerPort, port);
        ASSERT_NE(mainWindow(), nullptr);
        EXPECT_TRUE(mainWindow()->isVisible());
        EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join(QLatin1Char('|')));
        mainWindow()->endProgram();
        flushDeferredDeletes();
    }
}

TEST_F(StartUpTest, AFolderThatCannotBeCreatedEndsTheProgramWithoutSavingSettings)
{
    const QString missing = dir.path() + QStringLiteral("/does/not/exist");
    int exitCode = -1;
    EXPECT_FALSE(StartUp(missing, &exitCode));
    EXPECT_EQ(exitCode, 1);
    const QString expectedFolder = QDir::toNativeSeparators(missing) + QDir::separator();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0],
        QStringLiteral("Unable to create folder:\r\n\r\n") + expectedFolder + QStringLiteral("requests"));
    EXPECT_EQ(mainWindow(), nullptr);
    EXPECT_EQ(logWindow(), nullptr);
    EXPECT_FALSE(QFileInfo::exists(expectedFolder + QStringLiteral("tarnwick.ini")));
    EXPECT_TRUE(exitCodes.isEmpty());

    // The lock went with the failed start: the same folder starts once it can be created.
    ASSERT_TRUE(QDir().mkpath(missing));
    messages.clear();
    EXPECT_TRUE(StartUp(missing, &exitCode));
    EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join(QLatin1Char('|')));
}

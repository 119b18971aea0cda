#include "CurlRun.h"
#include "FakeOrigin.h"
#include "Wait.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

namespace {

// One run of the real tarnwick executable, copied into a folder of its own (the program's folder
// holds its settings and records). Every wait is bounded.
struct ProgramRun {
    QString folder;
    quint16 port = 0;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QProcess process;
    QByteArray err;
    std::unique_ptr<QTemporaryDir> dir;

    // A fresh folder with a copy of the executable, settings on a free port of 127.0.0.1; or,
    // given another run, that run's folder and port.
    explicit ProgramRun(const ProgramRun *same = nullptr)
    {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        if (same) {
            folder = same->folder;
            port = same->port;
            return;
        }
        dir = std::make_unique<QTemporaryDir>();
        folder = dir->path();
        QTcpServer probe;
        if (!QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), folder + QStringLiteral("/tarnwick"))
            || !probe.listen(QHostAddress::LocalHost, 0))
            return;
        port = probe.serverPort();
        QFile file(settingsPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(expectedSettings());
    }
    ~ProgramRun()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    QByteArray expectedSettings() const { return "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n"; }
    QString settingsPath() const { return folder + QStringLiteral("/tarnwick.ini"); }
    QString proxy() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    bool start()
    {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder);
        process.start(folder + QStringLiteral("/tarnwick"), {});
        return port != 0 && process.waitForStarted(10000);
    }
    bool listening() const
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(1000);
    }
    bool waitListening()
    {
        return waitFor([this] { return process.state() == QProcess::Running && listening(); }, 30000);
    }
    bool waitFinished()
    {
        return waitFor([this] { return process.state() == QProcess::NotRunning; }, 30000);
    }
    // SIGTERM, then waits for the end; true when the program exited with code 0.
    bool terminate()
    {
        process.terminate();
        return waitFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    const char *stderrText()
    {
        err += process.readAllStandardError();
        return err.constData();
    }
    QByteArray settingsBytes() const
    {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QStringList recordFiles() const
    {
        return QDir(folder + QStringLiteral("/requests")).entryList(QDir::Files);
    }
};

// Sends a GET per path through the running program and waits for their two records each; while
// the history shows, runs whileShown; then ends the program with SIGTERM and checks that it ended
// in order: exit code 0, settings written, unchecked records purged.
void browseThenTerminate(
    ProgramRun &program, const QStringList &paths, const std::function<void()> &whileShown)
{
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitListening()) << program.stderrText();
    FakeOrigin origin;
    origin.setReply(
        { QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello through") });
    for (const QString &path : paths) {
        const CurlResult result = runCurl({ QStringLiteral("-x"), program.proxy(), origin.url(path) });
        EXPECT_EQ(result.exitCode, 0) << result.err.constData();
        EXPECT_EQ(result.out, QByteArrayLiteral("hello through"));
    }
    EXPECT_TRUE(waitFor([&] { return program.recordFiles().size() == 2 * paths.size(); }, 10000))
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    whileShown();
    ASSERT_TRUE(program.terminate()) << program.stderrText();
    EXPECT_EQ(program.settingsBytes(), program.expectedSettings());
    EXPECT_TRUE(program.recordFiles().isEmpty())
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(QByteArray(program.stderrText()).indexOf("AddressSanitizer"), -1) << program.stderrText();
}

} // namespace

// Regression: a request for the proxy's own address and port made it connect to itself again and
// again until it ran out of descriptors and died.
TEST(Program, RequestsForItsOwnAddressAreAnswered508WithoutPilingUpDescriptors)
{
    ProgramRun program;
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitListening()) << program.stderrText();
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

// Regression: every exchange cost a browser connection and a server connection.
TEST(Program, RequestsOnOneCurlConnectionShareOneServerConnectionAndGetARecordPairEach)
{
    ProgramRun program;
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitListening()) << program.stderrText();
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc") },
        FakeOrigin::Closing::WhenAsked);
    QStringList args;
    for (const char *path : { "/1", "/2", "/3" })
        args << (args.isEmpty() ? QStringList() : QStringList { QStringLiteral("--next") })
             << QStringLiteral("-x") << program.proxy() << origin.url(QString::fromLatin1(path));
    const CurlResult curl = runCurl(args);
    EXPECT_EQ(curl.out, "abcabcabc") << curl.err.constData();
    EXPECT_EQ(origin.connectionsAccepted, 1);
    EXPECT_TRUE(waitFor([&] { return program.recordFiles().size() == 6; }, 5000))
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(program.terminate()) << program.stderrText();
}

TEST(Program, ListensOnItsSettingsAndEndsInOrderOnSigterm)
{
    ProgramRun program;
    browseThenTerminate(program, { QStringLiteral("/") }, [&] {
        // Without a screen the listening state is told on standard error.
        EXPECT_TRUE(QByteArray(program.stderrText())
                        .contains("Tarnwick: Listening on 127.0.0.1:" + QByteArray::number(program.port)));
    });
}

TEST(Program, OneRunPerFolderAndACrashedRunDoesNotBlockTheNext)
{
    ProgramRun first;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitListening()) << first.stderrText();
    const QDateTime modified = QFileInfo(first.settingsPath()).lastModified();

    ProgramRun second(&first);
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.waitFinished());
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_TRUE(QByteArray(second.stderrText()).contains("Tarnwick is already running"))
        << second.stderrText();
    EXPECT_EQ(first.settingsBytes(), first.expectedSettings());
    EXPECT_EQ(QFileInfo(first.settingsPath()).lastModified(), modified);
    EXPECT_TRUE(first.listening());

    // A copy in another folder keeps its own settings and records, so it is not blocked.
    ProgramRun elsewhere;
    ASSERT_TRUE(elsewhere.start());
    EXPECT_TRUE(elsewhere.waitListening()) << elsewhere.stderrText();
    EXPECT_TRUE(elsewhere.terminate());

    // Guards against a lock file that outlives its process and keeps the program from starting.
    first.process.kill();
    ASSERT_TRUE(first.waitFinished());
    ProgramRun next(&first);
    ASSERT_TRUE(next.start());
    EXPECT_TRUE(next.waitListening()) << next.stderrText();
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
            { QStringLiteral(":%1").arg(number), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp") });
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

    ProgramRun program;
    program.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.environment.insert(QStringLiteral("DISPLAY"), display);
    browseThenTerminate(program,
        { QStringLiteral("/index.html"), QStringLiteral("/style.css"), QStringLiteral("/a?b=c") }, [&] {
            // Give the window a moment to paint its rows; nothing is asserted about the time it takes.
            waitFor([] { return false; }, 1500);
            const QString artifacts = QFileInfo(QStringLiteral(TARNWICK_EXECUTABLE)).absolutePath()
                + QStringLiteral("/../artifacts");
            QDir().mkpath(artifacts);
            const QString shot = artifacts + QStringLiteral("/tarnwick-xvfb.png");
            QFile::remove(shot);
            QProcess grab;
            grab.start(QStringLiteral("import"),
                { QStringLiteral("-display"), display, QStringLiteral("-window"), QStringLiteral("root"),
                    shot });
            EXPECT_TRUE(grab.waitForFinished(30000));
            EXPECT_GT(QFileInfo(shot).size(), 0) << qPrintable(shot);
            std::printf("screenshot: %s\n", qPrintable(QFileInfo(shot).canonicalFilePath()));
        });
    server.terminate();
    server.waitForFinished(10000);
}

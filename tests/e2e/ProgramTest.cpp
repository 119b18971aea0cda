#include "CurlRun.h"
#include "FakeOrigin.h"
#include "Wait.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

namespace {

// One run of the real tarnwick executable, copied into a folder of its own (the program's folder
// holds its settings and records). Every wait is bounded.
class ProgramRun
{
public:
    ProgramRun();
    ~ProgramRun();

    // Makes a fresh folder with a copy of the executable and picks a free port on 127.0.0.1.
    bool prepare();
    void writeSettings();
    QByteArray expectedSettings() const;
    bool start();
    bool listening() const;
    bool waitListening(int timeoutMs = 30000) const;
    bool waitFinished(int timeoutMs);
    // SIGTERM, then waits for the end.
    bool terminate(int timeoutMs = 30000);
    void kill();
    int exitCode() const;
    QByteArray stderrText();

    QString settingsPath() const;
    QByteArray settingsBytes() const;
    QStringList recordFiles() const;

    QString folder;
    quint16 port = 0;
    QProcessEnvironment environment;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_process;
    QByteArray m_stderr;
};

ProgramRun::ProgramRun()
    : environment(QProcessEnvironment::systemEnvironment())
{
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

ProgramRun::~ProgramRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ProgramRun::prepare()
{
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid())
        return false;
    folder = m_dir->path();
    if (!QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), folder + QStringLiteral("/tarnwick")))
        return false;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return false;
    port = probe.serverPort();
    return true;
}

QByteArray ProgramRun::expectedSettings() const
{
    return "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n";
}

void ProgramRun::writeSettings()
{
    QFile file(settingsPath());
    if (file.open(QIODevice::WriteOnly))
        file.write(expectedSettings());
}

bool ProgramRun::start()
{
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(folder);
    m_process.start(folder + QStringLiteral("/tarnwick"), {});
    return m_process.waitForStarted(10000);
}

bool ProgramRun::listening() const
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    const bool connected = probe.waitForConnected(1000);
    probe.abort();
    return connected;
}

bool ProgramRun::waitListening(int timeoutMs) const
{
    return waitFor([this] { return m_process.state() == QProcess::Running && listening(); }, timeoutMs);
}

bool ProgramRun::waitFinished(int timeoutMs)
{
    const bool finished = waitFor([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    m_stderr += m_process.readAllStandardError();
    return finished;
}

bool ProgramRun::terminate(int timeoutMs)
{
    m_process.terminate();
    return waitFinished(timeoutMs);
}

void ProgramRun::kill()
{
    m_process.kill();
    m_process.waitForFinished(10000);
}

int ProgramRun::exitCode() const
{
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QByteArray ProgramRun::stderrText()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

QString ProgramRun::settingsPath() const
{
    return folder + QStringLiteral("/tarnwick.ini");
}

QByteArray ProgramRun::settingsBytes() const
{
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList ProgramRun::recordFiles() const
{
    return QDir(folder + QStringLiteral("/requests")).entryList(QDir::Files, QDir::Name);
}

} // namespace

// The real executable on Qt's offscreen platform: the settings it starts from, what it records,
// and what it leaves behind when the session ends it.
TEST(Program, ListensOnItsSettingsAndEndsInOrderOnSigterm)
{
    ProgramRun program;
    ASSERT_TRUE(program.prepare());
    program.writeSettings();
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitListening()) << program.stderrText().constData();

    FakeOrigin origin;
    origin.setReply(
        { QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello through") });
    const CurlResult result = runCurl(
        { QStringLiteral("-x"), QStringLiteral("http://127.0.0.1:%1").arg(program.port), origin.url() });
    EXPECT_EQ(result.exitCode, 0) << result.err.constData();
    EXPECT_EQ(result.out, QByteArrayLiteral("hello through"));
    EXPECT_TRUE(waitFor([&] { return program.recordFiles().size() == 2; }, 10000))
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();

    // Without a screen the listening state is told on standard error.
    EXPECT_TRUE(program.stderrText().contains(
        "Tarnwick: Listening on 127.0.0.1:" + QByteArray::number(program.port)));

    ASSERT_TRUE(program.terminate());
    EXPECT_EQ(program.exitCode(), 0) << program.stderrText().constData();
    EXPECT_EQ(program.settingsBytes(), program.expectedSettings());
    // The record files of unchecked rows go with the orderly end.
    EXPECT_TRUE(program.recordFiles().isEmpty())
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(program.stderrText().contains("AddressSanitizer")) << program.stderrText().constData();
}

TEST(Program, ASecondStartInTheSameFolderRefusesAndLeavesTheSettingsAlone)
{
    ProgramRun first;
    ASSERT_TRUE(first.prepare());
    first.writeSettings();
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitListening()) << first.stderrText().constData();
    const QByteArray settings = first.settingsBytes();
    const QDateTime modified = QFileInfo(first.settingsPath()).lastModified();

    ProgramRun second;
    second.folder = first.folder;
    second.port = first.port;
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.waitFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.stderrText().contains("Tarnwick is already running"))
        << second.stderrText().constData();
    EXPECT_EQ(first.settingsBytes(), settings);
    EXPECT_EQ(QFileInfo(first.settingsPath()).lastModified(), modified);
    EXPECT_TRUE(first.listening());

    // A copy in another folder keeps its own settings and records, so it is not blocked.
    ProgramRun elsewhere;
    ASSERT_TRUE(elsewhere.prepare());
    elsewhere.writeSettings();
    ASSERT_TRUE(elsewhere.start());
    EXPECT_TRUE(elsewhere.waitListening()) << elsewhere.stderrText().constData();

    EXPECT_TRUE(elsewhere.terminate());
    EXPECT_TRUE(first.terminate());
    EXPECT_EQ(first.exitCode(), 0);
}

TEST(Program, ACrashedRunDoesNotBlockTheNextStart)
{
    // Guards against a lock file that outlives its process and keeps the program from starting.
    ProgramRun crashed;
    ASSERT_TRUE(crashed.prepare());
    crashed.writeSettings();
    ASSERT_TRUE(crashed.start());
    ASSERT_TRUE(crashed.waitListening()) << crashed.stderrText().constData();
    crashed.kill();

    ProgramRun next;
    next.folder = crashed.folder;
    next.port = crashed.port;
    ASSERT_TRUE(next.start());
    EXPECT_TRUE(next.waitListening()) << next.stderrText().constData();
    EXPECT_FALSE(next.stderrText().contains("already running"));
    EXPECT_TRUE(next.terminate());
}

namespace {

// Starts Xvfb on a display number nobody uses; the returned number is -1 when none came up.
int startXvfb(QProcess &server, const QString &xvfb)
{
    for (int display = 90; display < 130; ++display) {
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(display))
            || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
            continue;
        server.start(xvfb,
            { QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp") });
        if (!server.waitForStarted(5000))
            return -1;
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
        if (waitFor([&] { return server.state() != QProcess::Running || QFileInfo::exists(socket); }, 10000)
            && server.state() == QProcess::Running)
            return display;
        // Another server took the number first; try the next one.
        server.kill();
        server.waitForFinished(5000);
    }
    return -1;
}

} // namespace

// The program on a real X server: a screenshot of the main window with a few exchanges in the
// history is kept as an artifact of the test run (not compared), and SIGTERM still ends it in order.
TEST(Program, RunsUnderXvfbWithItsHistoryOnScreen)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        GTEST_SKIP() << "Xvfb is not installed";
    QProcess server;
    const int display = startXvfb(server, xvfb);
    ASSERT_GE(display, 0) << "Xvfb did not start";
    const QString displayName = QStringLiteral(":%1").arg(display);

    ProgramRun program;
    ASSERT_TRUE(program.prepare());
    program.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.environment.insert(QStringLiteral("DISPLAY"), displayName);
    program.writeSettings();
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitListening()) << program.stderrText().constData();

    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>page</p>") });
    const QString proxy = QStringLiteral("http://127.0.0.1:%1").arg(program.port);
    for (const QString &path :
        { QStringLiteral("/index.html"), QStringLiteral("/style.css"), QStringLiteral("/a?b=c") }) {
        const CurlResult result = runCurl({ QStringLiteral("-x"), proxy, origin.url(path) });
        EXPECT_EQ(result.exitCode, 0) << result.err.constData();
    }
    EXPECT_TRUE(waitFor([&] { return program.recordFiles().size() == 6; }, 10000));
    // Give the window a moment to paint its rows; nothing is asserted about the time it takes.
    waitFor([] { return false; }, 1500);

    const QString artifacts
        = QFileInfo(QStringLiteral(TARNWICK_EXECUTABLE)).absolutePath() + QStringLiteral("/../artifacts");
    QDir().mkpath(artifacts);
    QString shot;
    QProcess grab;
    if (!QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty()) {
        shot = artifacts + QStringLiteral("/tarnwick-xvfb.png");
        grab.start(QStringLiteral("import"),
            { QStringLiteral("-display"), displayName, QStringLiteral("-window"), QStringLiteral("root"),
                shot });
    } else if (!QStandardPaths::findExecutable(QStringLiteral("xwd")).isEmpty()) {
        shot = artifacts + QStringLiteral("/tarnwick-xvfb.xwd");
        grab.start(QStringLiteral("xwd"),
            { QStringLiteral("-display"), displayName, QStringLiteral("-root"), QStringLiteral("-out"),
                shot });
    }
    if (!shot.isEmpty()) {
        QFile::remove(shot);
        EXPECT_TRUE(grab.waitForFinished(30000));
        EXPECT_GT(QFileInfo(shot).size(), 0) << qPrintable(shot);
        std::printf("screenshot: %s\n", qPrintable(QFileInfo(shot).canonicalFilePath()));
    }

    ASSERT_TRUE(program.terminate());
    EXPECT_EQ(program.exitCode(), 0) << program.stderrText().constData();
    EXPECT_EQ(program.settingsBytes(), program.expectedSettings());
    EXPECT_TRUE(program.recordFiles().isEmpty());

    server.terminate();
    server.waitForFinished(10000);
}

#include "CurlRun.h"
#include "FakeOrigin.h"
#include "RunningProgram.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

#include <gtest/gtest.h>

// Regression: a request for the proxy's own address and port made it connect to itself again and
// again until it ran out of descriptors and died.
TEST(Program, RequestsForItsOwnAddressAreAnswered508WithoutPilingUpDescriptors)
{
    RunningProgram program;
    ASSERT_TRUE(program.startListening()) << program.stderrText();
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(program.process.processId()));
    const auto open
        = [&] { return fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(); };
    const QString self = QStringLiteral("http://%1:") + QString::number(program.port) + QStringLiteral("/x");
    const QStringList asks[]
        = { { self.arg(QStringLiteral("127.0.0.1")) }, { self.arg(QStringLiteral("localhost")) },
              { QStringLiteral("-p"), self.arg(QStringLiteral("127.0.0.1")) } };
    qsizetype before = 0;
    // The first round lets the program open what it keeps for good (name lookups, interfaces);
    // a loop, or a descriptor left per request, would show as many more than the slack of three.
    for (int round = 0; round < 4; ++round) {
        for (const QStringList &ask : asks) {
            const CurlResult curl = runCurl(
                QStringList { QStringLiteral("-o/dev/null"), QStringLiteral("-w%{http_code} %{http_connect}"),
                    QStringLiteral("-x"), program.proxy() }
                + ask);
            EXPECT_TRUE(curl.out.contains("508"))
                << ask.join(QLatin1Char(' ')).toStdString() << curl.out.constData();
        }
        if (round == 0)
            before = (waitFor([] { return false; }, 500), open());
    }
    EXPECT_TRUE(waitFor([&] { return open() <= before + 3; }, 5000))
        << open() << " descriptors, " << before << " before";
    EXPECT_TRUE(program.terminate()) << program.stderrText();
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

// Regression: every exchange cost a browser connection and a server connection.
// The program on a real X server where there is one, offscreen otherwise: three GETs on one curl
// connection are served, and SIGTERM ends it in order: exit code 0, settings written, unticked
// records purged. Under X a screenshot of the history is kept as an artifact (not compared).
TEST(Program, ServesAndEndsInOrderOnSigtermOnAnXServerOrOffscreen)
{
    QProcess server;
    QString display;
    RunningProgram program;
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (!xvfb.isEmpty() && !QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty()) {
        // Xvfb picks a free display itself and names it once it accepts clients.
        server.start(
            xvfb, QStringLiteral("-displayfd 1 -screen 0 1024x768x24 -nolisten tcp").split(QLatin1Char(' ')));
        waitFor([&] { return server.canReadLine() || server.state() == QProcess::NotRunning; }, 10000);
        ASSERT_TRUE(server.canReadLine()) << "Xvfb did not start";
        display = QLatin1Char(':') + QString::fromLatin1(server.readLine().trimmed());
        program.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        program.environment.insert(QStringLiteral("DISPLAY"), display);
    }
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
    if (!display.isEmpty()) {
        // Give the window a moment to paint its rows; nothing is asserted about the time it takes.
        waitFor([] { return false; }, 1500);
        const QString shot = QFileInfo(QStringLiteral(TARNWICK_EXECUTABLE)).absolutePath()
            + QStringLiteral("/../artifacts/tarnwick-xvfb.png");
        QDir().mkpath(QFileInfo(shot).path());
        QFile::remove(shot);
        QProcess grab;
        grab.start(QStringLiteral("import"),
            { QStringLiteral("-display"), display, QStringLiteral("-window"), QStringLiteral("root"), shot });
        EXPECT_TRUE(grab.waitForFinished(30000));
        EXPECT_GT(QFileInfo(shot).size(), 0) << qPrintable(shot);
        std::printf("screenshot: %s\n", qPrintable(QFileInfo(shot).canonicalFilePath()));
    }
    ASSERT_TRUE(program.terminate()) << program.stderrText();
    EXPECT_EQ(program.settingsBytes(), program.settings);
    EXPECT_TRUE(program.recordFiles().isEmpty())
        << program.recordFiles().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(QByteArray(program.stderrText()).indexOf("AddressSanitizer"), -1) << program.stderrText();
    server.terminate();
    server.waitForFinished(10000);
}

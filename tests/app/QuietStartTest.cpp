#include "ProxyHarness.h"
#include "Wait.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(QuietStart, AnOffscreenStartWithoutRuntimeFolderSaysOnlyWhereItListens)
{
    // Guards against Qt's platform notices burying the one line a headless user needs.
    QTemporaryDir dir;
    const quint16 port = ProxyHarness::freePort();
    const QString program = dir.path() + QStringLiteral("/tarnwick");
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), program));
    QFile ini(dir.path() + QStringLiteral("/tarnwick.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n");
    ini.close();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(env);
    process.start(program, {});
    QByteArray err;
    EXPECT_TRUE(waitFor(
        [&] {
            err += process.readAllStandardError();
            return err.contains("Listening") || process.state() == QProcess::NotRunning;
        },
        30000));
    // Some notices come only once the window has been shown for a moment, or at the end.
    waitFor([] { return false; }, 500);
    process.terminate();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    err += process.readAllStandardError();
    EXPECT_EQ(err, "Tarnwick: Listening on 127.0.0.1:" + QByteArray::number(port) + "\n");
}

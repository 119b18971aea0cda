#pragma once

#include "Wait.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// What one curl run gave: its exit code (-1 when it had to be killed) and its output bytes.
struct CurlResult {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs curl with the given arguments while the event loop keeps running, so that an in-process
// proxy can serve it. Bounded by timeoutMs; curl is killed when it overruns.
inline CurlResult runCurl(const QStringList &arguments, int timeoutMs = 20000)
{
    QProcess curl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The test says which proxy to use; nothing from the environment may redirect curl.
    for (const char *name : { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
             "all_proxy", "NO_PROXY", "no_proxy" })
        env.remove(QString::fromLatin1(name));
    curl.setProcessEnvironment(env);
    curl.start(QStringLiteral("curl"),
        QStringList { QStringLiteral("-s"), QStringLiteral("-q"), QStringLiteral("--max-time"),
            QString::number(qMax(1, timeoutMs / 1000 - 1)) }
            + arguments);
    if (!curl.waitForStarted(5000))
        return {};
    const bool ended = waitFor([&curl] { return curl.state() == QProcess::NotRunning; }, timeoutMs);
    if (!ended)
        curl.kill();
    curl.waitForFinished(2000);
    return { ended && curl.exitStatus() == QProcess::NormalExit ? curl.exitCode() : -1,
        curl.readAllStandardOutput(), curl.readAllStandardError() };
}

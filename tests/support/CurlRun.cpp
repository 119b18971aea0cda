#include "CurlRun.h"

#include "Wait.h"

#include <QProcess>
#include <QProcessEnvironment>

CurlResult runCurl(const QStringList &arguments, int timeoutMs)
{
    QProcess curl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The test says which proxy to use; nothing from the environment may redirect curl.
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy",
                             "NO_PROXY", "no_proxy"})
        env.remove(QString::fromLatin1(name));
    curl.setProcessEnvironment(env);
    QStringList args = {QStringLiteral("-s"), QStringLiteral("-q"), QStringLiteral("--max-time"),
                        QString::number(qMax(1, timeoutMs / 1000 - 1))};
    args += arguments;
    curl.start(QStringLiteral("curl"), args);
    CurlResult result;
    if (!curl.waitForStarted(5000))
        return result;
    const bool finished = waitFor([&curl] { return curl.state() == QProcess::NotRunning; }, timeoutMs);
    if (!finished) {
        curl.kill();
        curl.waitForFinished(2000);
        result.out = curl.readAllStandardOutput();
        return result;
    }
    result.exitCode = curl.exitStatus() == QProcess::NormalExit ? curl.exitCode() : -1;
    result.out = curl.readAllStandardOutput();
    result.err = curl.readAllStandardError();
    return result;
}

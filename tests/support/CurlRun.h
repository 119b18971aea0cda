#pragma once

#include <QByteArray>
#include <QStringList>

// What one curl run gave: its exit code (-1 when it had to be killed) and its output bytes.
struct CurlResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs curl with the given arguments while the event loop keeps running, so that an in-process
// proxy can serve it. Bounded by timeoutMs; curl is killed when it overruns.
CurlResult runCurl(const QStringList &arguments, int timeoutMs = 20000);

#pragma once

#include "Breakpoints.h"
#include "CProxyServer.h"
#include "HistoryModel.h"
#include "ProxyAccess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The options of the Options dialog, kept in tarnwick-options.ini beside the program as key=value
// lines, so that tarnwick.ini keeps its fixed three lines. Each key is one row of the table in
// Options.cpp.
struct Options {
    int historyLimit = HistoryModel::DefaultLimit;
    HistoryModel::LimitMode historyMode = HistoryModel::LimitMode::Clear;
    // Save the history at exit and open it again at the next start.
    bool keepHistory = false;
    // Network threads serving the browser connections: one per core, at most MaxThreads.
    int threads = defaultThreads();
    // The main window's size and place, the line between record pane and list, the column widths.
    QByteArray windowGeometry;
    QByteArray windowSplitter;
    QByteArray historyColumns;
    // Addresses and ranges of the clients that may connect.
    QString allowClients = ClientAllowList::defaultText();
    // Clients must give this user name and the password whose hash is kept (never the password).
    QString proxyUser;
    QString proxyPasswordHash;
    // host:port of a proxy to forward through, empty for direct; its credentials, which have to
    // be sent and so are kept as they are, in a file only its owner may read; the hosts reached
    // directly all the same.
    QString upstreamProxy;
    QString upstreamUser;
    QString upstreamPassword;
    QStringList upstreamBypass;
    // Kept for the next run, which starts with breakpoints off all the same.
    QList<BreakpointRule> breakpointRules;

    static constexpr int MinHistoryLimit = 10;
    static constexpr int MaxHistoryLimit = 1000000;
    static constexpr int MaxThreads = CProxyServer::MaxThreads;
    static int defaultThreads();
    // The settings the proxy server takes from these options.
    ProxyAccess access() const;

    struct ReadResult;

    // AppFolder + "tarnwick-options.ini".
    static QString defaultFileName();
    // A missing file gives the defaults; an unknown key or a bad value gives a log line, and a bad
    // value leaves that key's default.
    static ReadResult read(const QString &fileName);
    // Every known key, replacing the file whole; readable by its owner only while it holds a
    // password.
    bool write(const QString &fileName, QString *why = nullptr) const;

    bool operator==(const Options &) const = default;
};

struct Options::ReadResult {
    Options options;
    QStringList logLines;
};

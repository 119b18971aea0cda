#pragma once

#include "CProxyServer.h"
#include "CRequest.h"

#include <QDateTime>
#include <QString>

// One request on a browser connection and its reply: the parser that gathers the request, the
// record name and the two record files, the history row, and how far the exchange has come.
// The connection owns its exchanges and serves them in order.
class CExchange
{
public:
    // Draws a record name no live exchange and no file in folder has, and names the record files.
    explicit CExchange(const QString &folder);
    ~CExchange();
    CExchange(const CExchange &) = delete;
    CExchange &operator=(const CExchange &) = delete;

    // A record name no live exchange and no file in folder has: preferred when it is free,
    // otherwise drawn from moment (now when invalid) and five random letters.
    static QString freeRecordName(
        const QString &folder, const QDateTime &moment = QDateTime(), const QString &preferred = QString());

    QString recordName() const;
    QString RequestFilePath() const;
    QString ResponseFilePath() const;
    CRequest &request();
    const CRequest &request() const;
    // The method word as the Type column and the log show it.
    QString methodWord() const;

    quint64 stamp = 0; // the exchange's id in the history; 0 while it has no row
    // The window removed the row; a ticked row's records stay, others go when the exchange ends.
    bool rowRemoved = false;
    bool rowTicked = false;
    QDateTime firstByteAt;
    bool keepAlive = false; // the browser may send another request after this one
    bool upgrade = false; // asks to switch protocols (WebSocket)
    bool forwarded = false;
    bool transferDone = false;
    // The browser has the whole reply: the row to report once the reply record is in place too.
    std::optional<CProxyServer::RowReport> relayedRow;
    // The reply record's rename has run: empty when it went well, else why not.
    std::optional<QString> recordOutcome;

private:
    QString m_recordName;
    QString m_requestFilePath;
    QString m_responseFilePath;
    CRequest m_request;
};

#pragma once

#include "CProxyServer.h"
#include "CRequest.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <atomic>

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
    // "<name>-A.orig.txt" beside the reply record "<name>-A.txt".
    static QString originalReplyPath(const QString &responseFilePath);
    static QString freeRecordName(
        const QString &folder, const QDateTime &moment = QDateTime(), const QString &preferred = QString());

    QString recordName() const;
    QString RequestFilePath() const;
    QString ResponseFilePath() const;
    // Where the server's own reply is kept when the user changed what the browser got.
    QString OriginalReplyFilePath() const;
    // Parses message in place of the request the browser sent, and records it; false, with the
    // refusal's reason, when it is not one whole request the proxy would send on.
    bool replaceRequest(const QByteArray &message, const std::optional<HttpTarget> &origin, QString *why);
    CRequest &request();
    const CRequest &request() const;
    // The method word as the Type column and the log show it.
    QString methodWord() const;

    // The exchange's id in the history, 0 while it has no row; set with setStamp only.
    quint64 stamp = 0;
    void setStamp(quint64 id);
    // The window removed the row; a ticked row's records stay, others go when the exchange ends.
    // Set from the window's thread while the exchange runs on its own.
    std::atomic<bool> rowRemoved = false;
    std::atomic<bool> rowTicked = false;
    // Marks the live exchanges of these rows at once, whichever thread serves them: an exchange
    // must not put its records in place unseen after its row and records were removed.
    static void markRowsRemoved(const QHash<quint64, bool> &tickedById);
    QDateTime firstByteAt;
    bool keepAlive = false; // the browser may send another request after this one
    bool upgrade = false; // asks to switch protocols (WebSocket)
    bool forwarded = false;
    bool transferDone = false;
    int breakAt = 0; // Breakpoints::Point mask this exchange stops at
    // The user changed the reply: the browser got this many bytes, and the server's own reply
    // is kept at OriginalReplyFilePath().
    std::optional<qint64> editedReplyLength;
    // The browser has the whole reply: the row to report once the reply record is in place too.
    std::optional<CProxyServer::RowReport> relayedRow;
    // The reply record's rename has run: empty when it went well, else why not.
    std::optional<QString> recordOutcome;

    // Tells the exchange's row, while it has one.
    void report(CProxyServer *server, const CProxyServer::RowReport &row) const;
    // An exchange is done once the browser has its whole reply and its reply record is in place,
    // in either order; the row then says DONE, or ERROR when the record could not be written,
    // and records that no row names any more are deleted. It may run after the connection is
    // gone.
    void settle(CProxyServer *server);
    // A row names the records, or a ticked row kept them after it went; otherwise no purge would
    // ever find them again.
    bool keepsRecords() const;

private:
    QString m_recordName;
    QString m_requestFilePath;
    QString m_responseFilePath;
    CRequest m_request;
};

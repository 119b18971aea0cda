#pragma once

#include "CProxyServer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class CHTTPGet;
class CRequest;
class EventSocket;
class QTimer;

// One browser connection, from the moment the server accepts it until it is closed: gathers the
// request, makes its history row, forwards it, relays and records the reply.
//
// Owned by the server's table through a shared pointer; every handler holds its own reference so
// that the object outlives a handler that makes the server drop it.
class CProxyConnection : public QObject, public std::enable_shared_from_this<CProxyConnection>
{
    Q_OBJECT

public:
    // Above this many bytes queued towards the browser, reading from the web server pauses; it
    // resumes once the browser has taken all but a quarter of it.
    static constexpr qint64 RelayQueueBound = 1024 * 1024;
    // How long a reply may still finish after the browser has closed, so that a browser that
    // stops reading at the end of the body does not cost the exchange its record.
    static constexpr int BrowserGoneGraceMs = 2000;
    // A request header not complete this long after its first byte is answered 408: a peer
    // that trickles a byte now and then would otherwise hold the connection for ever.
    static constexpr qint64 HeaderDeadlineMs = 30000;

    explicit CProxyConnection(QObject *parent = nullptr);
    ~CProxyConnection() override;

    CHTTPGet *HTTPGet() const;
    void setStamp(qint32 NewStamp);
    qint32 stamp() const;
    QString URL() const;
    QString RequestDesc() const;
    qint32 RequestLength() const;
    QString RemoteHost() const;
    qint32 RequestID() const;
    void CheckTimeout();
    void UpdateTimeout();
    void Attach(qint32 RequestID, CProxyServer *Server);
    QString RemoteIP() const;
    void Send(const QByteArray &msg);
    void PassGet(qint32 &RequestID, const QString &Host, const QByteArray &Header, const QString &rt);
    void SetupStamp();
    // Ends the exchange at once for a server that is going away: both sockets closed, the
    // fetcher aborted, and nothing reported to the server any more.
    void Shutdown();
    // Deletes this exchange's record files when no history row names them any more (the rows
    // were cleared, or the exchange never had one), so that no purge would ever find them.
    void dropOrphanRecords();

    QString RequestFilePath() const;
    QString ResponseFilePath() const;
    EventSocket *socket() const;
    CRequest *request() const;
    QString recordName() const;
    bool TransferDone() const;

    // Relay statistics, for watching the back-pressure work (both directions of a tunnel).
    qint64 peakQueuedToBrowser() const;
    int readPauses() const;

    // The request text as it goes to the web server: the "http://" and host taken off the
    // request-line target, the hop-by-hop headers replaced by "Connection: close". Empty when
    // the request line has no blank after its target.
    static std::optional<QByteArray> forwardedRequest(const QByteArray &Header);

private:
    enum class Phase { Receiving, Forwarding, Answering, BrowserGone, Ended };

    void SetupFileNames();
    void Socket_DataArrival(qint32 bytesTotal);
    void Socket_SendComplete();
    void Socket_SendProgress(qint64 bytesLeft);
    void Socket_Close();
    void Socket_PeerFinished();
    void Socket_Error(qint16 Number, const QString &Description);
    void Browser_Connected();
    void Browser_DataReceived(const QByteArray &Buffer, qint32 BufferSize, qint32 ContentLength);
    void Browser_TransferCompleted(
        const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength);
    void Browser_Failed(const QString &host, const QString &reason);
    void Browser_BrokenOff(const QString &reason);
    void Browser_RecordFailed(const QString &reason);

    void requestComplete();
    void refuse(int code, const QString &reason);
    void answerAndClose(int code, const QString &body);
    void finishIfDrained();
    void endExchange();
    void browserGoneTimeout();
    void internalFailure(const QString &reason);
    void resumeUpstreamIfDrained(qint64 bytesLeft);
    void resumeBrowserIfDrained(qint64 bytesLeft);
    QString methodWord() const;
    QString logPrefix() const;
    CProxyServer::RowReport fullReport(const QString &status) const;
    void report(const CProxyServer::RowReport &row);
    CProxyServer::RowReport errorReport(const QString &status) const;
    template <typename F> void guarded(F &&body);

    qint32 m_requestID = 0;
    qint32 m_stamp = 0;
    QDateTime m_lastActivity;
    QDateTime m_firstByteAt;
    QString m_recordName;
    QString m_responseFilePath;
    QString m_requestFilePath;
    bool m_transferDone = false;
    bool m_sending = false;
    std::unique_ptr<CRequest> m_req;
    QPointer<CProxyServer> m_server;
    EventSocket *m_socket = nullptr;
    CHTTPGet *m_browser = nullptr;

    Phase m_phase = Phase::Receiving;
    bool m_tunnel = false;
    bool m_upstreamConnected = false;
    // The browser has finished sending; a tunnel passes that on once it is connected.
    bool m_browserFinished = false;
    QByteArray m_tunnelPending;
    bool m_sentToBrowser = false;
    QString m_browserIP;
    quint64 m_rowGeneration = 0;
    QTimer *m_graceTimer = nullptr;
    qint64 m_peakQueued = 0;
    int m_readPauses = 0;
};

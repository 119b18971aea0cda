#pragma once

#include "CProxyServer.h"
#include "EventSocket.h"
#include "RequestGate.h"
#include "TunnelRelay.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class CExchange;
class CHTTPGet;
class Http2Frontend;
class CRequest;
class QTimer;
class TlsInterceptor;

// One browser connection, from the moment the server accepts it until it is closed. It reads the
// browser's requests one after the other; each becomes an exchange of its own (its record files,
// its history row), served in order: forwarded over the fetcher's server connection, which is
// kept for the next request to the same server, and its reply relayed and recorded. The
// connection stays open between exchanges unless the browser or the server asked to close. A
// CONNECT, or a switch of protocols, hands the rest of the connection to the tunnel relay; a
// CONNECT whose browser starts TLS goes to the TLS interceptor, and the requests inside are
// served like any others.
//
// Owned by the server's table through a shared pointer; every handler holds its own reference so
// that the object outlives a handler that makes the server drop it.
class CProxyConnection : public QObject, public std::enable_shared_from_this<CProxyConnection>
{
    Q_OBJECT

public:
    // Above this many bytes queued towards the browser, reading from the web server pauses; it
    // resumes once the browser has taken all but a quarter of it.
    static constexpr qint64 RelayQueueBound = TunnelRelay::QueueBound;
    // How long a reply may still finish after the browser has closed, so that a browser that
    // stops reading at the end of the body does not cost the exchange its record.
    static constexpr int BrowserGoneGraceMs = 2000;
    // A request header not complete this long after its first byte is answered 408: a peer
    // that trickles a byte now and then would otherwise hold the connection for ever.
    static constexpr qint64 HeaderDeadlineMs = 30000;
    // Complete requests held while an earlier reply is still coming; past this, reading from the
    // browser pauses.
    static constexpr size_t MaxPipelined = 16;
    // A reply held at a breakpoint is gathered whole in memory up to this size; a longer one goes
    // on to the browser unheld.
    static constexpr qint64 MaxHeldReply = 16 * 1024 * 1024;

    explicit CProxyConnection(QObject *parent = nullptr);
    // A connection for a table: deleted from the event loop, so that the handler that makes the
    // table drop it can still return through it.
    static std::shared_ptr<CProxyConnection> create();
    ~CProxyConnection() override;

    CHTTPGet *HTTPGet() const;
    void setStamp(quint64 NewStamp);
    quint64 stamp() const;
    QString URL() const;
    QString RequestDesc() const;
    qint32 RequestLength() const;
    QString RemoteHost() const;
    qint32 RequestID() const;
    void CheckTimeout();
    void UpdateTimeout();
    void Attach(qint32 RequestID, CProxyServer *Server);
    // The same for a connection already taken from the listener and moved to this thread.
    void Attach(qint32 RequestID, CProxyServer *Server, const EventSocket::Handoff &handoff);
    QString RemoteIP() const;
    // Serves the requests one after the other, as a connection with no browser would: requests
    // the user sends again.
    void startResend(qint32 RequestID, CProxyServer *Server, const QList<CProxyServer::ResendItem> &items);
    // Serves one HTTP/2 stream of a browser connection in a decrypted tunnel to origin, read
    // from and answered through pipe as one request on a connection of its own; recordHead is the
    // request's head as its record shows it. ended is called, once, when the connection is over,
    // in place of leaving the server's table.
    void attachStream(qint32 RequestID, CProxyServer *Server, EventSocket::Pipe *pipe,
        const HttpTarget &origin, const QByteArray &recordHead, std::function<void()> ended);
    // The user decided on the exchange held with this id; nothing happens when it is not held.
    void releaseHold(quint64 id, const CProxyServer::HoldDecision &decision);
    void Send(const QByteArray &msg);
    void PassGet(qint32 &RequestID, const QString &Host, const QByteArray &Header, const QString &rt);
    // Gives the newest exchange its history row, with these cells.
    void SetupStamp(const CProxyServer::RowReport &row);
    // Ends every exchange at once for a server that is going away: both sockets closed, the
    // fetcher aborted, and nothing reported to the server any more.
    void Shutdown();
    // Deletes the record files of this connection's exchanges that no history row names any
    // more (the rows were removed unticked, or the exchange never had one), so that no purge
    // would ever find them.
    void dropOrphanRecords();

    // The exchange being served (else the one being received, else the last one served).
    QString RequestFilePath() const;
    QString ResponseFilePath() const;
    CRequest *request() const;
    QString recordName() const;
    bool TransferDone() const;
    EventSocket *socket() const;

    // Relay statistics, for watching the back-pressure work (both directions of a tunnel).
    qint64 peakQueuedToBrowser() const;
    int readPauses() const;

    // The request text as it goes to the web server: the "http://" and host taken off the
    // request-line target and put in the Host field, the hop-by-hop fields replaced by one
    // Connection field with the given value; with "upgrade", the Upgrade field is kept. Empty when
    // the request line has no absolute target.
    static std::optional<QByteArray> forwardedRequest(
        const QByteArray &Header, const QByteArray &connection = QByteArrayLiteral("close"));

protected:
    // Decisions on held exchanges, posted from the window's thread.
    void customEvent(QEvent *event) override;

private:
    void attached(CProxyServer *Server);
    // Held: the front exchange waits at a breakpoint for the user.
    enum class Phase { Receiving, Forwarding, Held, Answering, BrowserGone, Ended };

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
    void Browser_Upgraded();
    void Interceptor_Log(const QString &text);
    void Interceptor_BrowserFailed();
    void Interceptor_Ready();

    CExchange *current() const;
    // The server of the decrypted tunnel (or of the request sent again) whose requests these are.
    std::optional<HttpTarget> decryptedOrigin() const;
    // The connection is over: it leaves the server's table, or, as a stream's, its owner's.
    void leave();
    // The browser chose HTTP/2 in the decrypted tunnel: the frontend takes the connection over.
    void startHttp2();
    EventSocket *openStream(EventSocket::Pipe *pipe, const QByteArray &recordHead);
    void http2Ended();
    void leaveOnceStreamsEnded();
    void feedRequests(QByteArray bytes);
    void readRequests(QByteArray bytes);
    bool requestComplete(const std::shared_ptr<CExchange> &exchange);
    void startNext();
    void exchangeDone();
    void refuse(int code, const QString &reason);
    void refuseInTurn(int code, const QString &reason);
    void answerInTurn(const RequestGate::Answer &answer);
    void answerAndClose(int code, const QString &body);
    void sendAnswer(const QByteArray &answer);
    void finishIfDrained();
    void endExchange();
    void endConnection(const QString &status);
    void browserGoneTimeout();
    void internalFailure(const QString &reason);
    void requestRecordFailed(const QString &path, const QString &reason);
    void resumeUpstreamIfDrained(qint64 bytesLeft);
    void hold(bool atReply);
    void resume(const CProxyServer::HoldDecision &decision, const QString &how);
    // The connection ends while an exchange is held: the window's list of held ones is told.
    void dropHold();
    // Begins the next request to send again, once the event loop is back; false when none is left.
    bool resendNext();
    QString logPrefix() const;
    CProxyServer::RowReport fullReport(const QString &status) const;
    void report(const CProxyServer::RowReport &row);
    CProxyServer::RowReport errorReport(const QString &status) const;
    // Every exchange this connection still holds: queued, being received, last served.
    std::vector<std::shared_ptr<CExchange>> exchanges() const;
    template <typename F> void guarded(F &&body);

    qint32 m_requestID = 0;
    QDateTime m_lastActivity;
    QPointer<CProxyServer> m_server;
    EventSocket *m_socket = nullptr;
    CHTTPGet *m_browser = nullptr;
    TunnelRelay *m_relay = nullptr;
    TlsInterceptor *m_tls = nullptr;

    // Complete requests in order; the front one is being served.
    std::deque<std::shared_ptr<CExchange>> m_queue;
    // The request being received, if it has begun.
    std::shared_ptr<CExchange> m_receiving;
    // The last exchange served, still named by the accessors once it has ended.
    std::shared_ptr<CExchange> m_last;
    // An answer of the proxy's own (a refusal) that waits for the replies before it, after which
    // the connection closes.
    std::optional<RequestGate::Answer> m_pendingRefusal;
    RequestGate m_gate;

    Phase m_phase = Phase::Receiving;
    bool m_closeAfter = false; // the browser will send no more requests
    bool m_upstreamConnected = false;
    QByteArray m_upgradeHeld; // what the browser sent after a request to switch protocols
    bool m_feeding = false;
    QByteArray m_backlog; // arrived while requests were being read
    QByteArray m_unparsed; // read from the browser, not yet part of a request
    bool m_sentToBrowser = false;
    QString m_browserIP;
    QTimer *m_graceTimer = nullptr;
    // A request the user sends again: no browser, one request.
    bool m_resend = false;
    std::deque<CProxyServer::ResendItem> m_resendItems; // those not begun yet
    std::optional<HttpTarget> m_resendOrigin;
    // The front exchange is held since then, before its request or before its reply.
    struct Hold {
        bool atReply = false;
        QDateTime since;
    };
    std::optional<Hold> m_hold;
    bool m_collectReply = false; // the front exchange's reply is gathered to be held
    QByteArray m_heldReply;
    qint64 m_peakQueued = 0;
    // HTTP/2 with the browser: the frontend, and the connection of each open stream.
    Http2Frontend *m_h2 = nullptr;
    std::vector<std::shared_ptr<CProxyConnection>> m_streams;
    // As one stream's connection: the tunnel's server, its request's record head, and who to
    // tell when it is over.
    std::optional<HttpTarget> m_streamOrigin;
    QByteArray m_streamRecordHead;
    std::function<void()> m_streamEnded;
    int m_readPauses = 0;
};

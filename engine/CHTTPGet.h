#pragma once

#include "EventSocket.h"
#include "Http2Client.h"
#include "RecordWriter.h"
#include "ReplyFraming.h"
#include "UpstreamProxy.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>

#include <memory>

class UpstreamPool;

// The web-server side of a browser connection: works out host and port, connects, sends each
// request text, passes each reply chunk on at once and records the reply as soon as its framing
// says it is complete. The server connection is kept for the next request to the same host and
// port when the reply allows it.
//
// The reply is not held in memory: each chunk goes to the record writer, appended to a
// temporary file beside the reply record, which takes the record's name when the reply is
// complete. TransferCompleted is raised as soon as the reply is complete, without waiting for
// the disk; the record's own outcome goes to the handler set with setRecordDone.
//
// A TLS server that chooses h2 is spoken to over an HTTP/2 session (Http2Client), one stream per
// exchange, shared with the other exchanges of the thread through the pool. The caller sees no
// difference: the reply it is passed is HTTP/1.1, re-framed from the stream; the record holds
// the HTTP/2 reply as Http2Message renders it.
class CHTTPGet : public QObject, private Http2Client::Stream
{
    Q_OBJECT

public:
    // A reply header that has not ended within this many bytes is refused with a 502.
    static constexpr qsizetype MaxReplyHeaderLength = ReplyFraming::MaxHeaderLength;

    explicit CHTTPGet(QObject *parent = nullptr);
    ~CHTTPGet() override;

    // Complete replies leave their server connection in the pool, and new exchanges take one
    // from it before connecting. Without a pool the connection is kept for this object's own
    // next exchange only.
    void setPool(UpstreamPool *pool);
    // The proxy the next exchanges go through, for the servers it is used for; null for none.
    void setUpstreamProxy(std::shared_ptr<const UpstreamProxy> upstream);
    // This exchange's server is reached through the upstream proxy, whose address RemoteIP gives.
    bool throughUpstream() const;
    void setResponseFile(const QString &Filename);
    // Told, on this thread, once the next complete reply's record is in place or could not be.
    // It is called even when this object is gone by then.
    void setRecordDone(RecordWriter::Done done);
    QString ResponseFile() const;
    QString RemoteIP() const;
    void setSendHeader(const QByteArray &Header);
    qint32 RequestID() const;
    void setRequestID(qint32 ID);
    qint32 BufferSize() const;
    QString Host() const;
    QString URL() const;
    qint32 ContentLength() const;
    QByteArray Header() const;
    // Always empty: the reply is not kept in memory; the record file holds it.
    QByteArray Buffer() const;
    bool Finished() const;

    // Sends the request set with setSendHeader to the server the URL names: over the open
    // server connection when it goes to the same host and port and may be reused, else over a
    // new one.
    void OpenURL(const QString &URL);
    // Host, port and path as OpenURL works them out of its argument.
    struct Target {
        QString host;
        qint32 port = 80;
        QString url;
    };
    static Target parseURL(const QString &URL);
    // Ends a relay (a tunnel, or a connection switched to another protocol): what the server sent
    // becomes the reply record, the server connection is closed and TransferCompleted follows.
    void FileCompleted();

    EventSocket *socket() const;

    // The port OpenURL worked out; 0 before it ran.
    qint32 port() const;
    // Bytes received from the server for this exchange, as a 64-bit count.
    qint64 receivedBytes() const;
    // The status code of the reply's final header; 0 before it has come.
    int replyStatus() const;
    // The name the reply is written under until the transfer is complete.
    QString partFile() const;
    // Ends an unfinished transfer: closes the server connection and discards the partial
    // record. Raises nothing.
    void abort();
    // Ends the transfer as abort does and deletes the reply record if it was already written.
    void discardRecord();
    // A tunnel relays whatever the server sends, with no reply header to wait for, and a server
    // that closes without a byte ends it normally.
    void setTunnel(bool tunnel);
    // Sends bytes to the server over the open connection (used by a relay).
    void sendUpstream(const QByteArray &data);
    // The owner holds the server back while the browser is slow to take the reply.
    void setRelayPaused(bool paused);
    bool relayPaused() const;
    // The reply switched protocols (101): from now on the exchange is a relay in both directions.
    bool upgraded() const;
    // The reply leaves the browser's connection fit for another request: its framing did not
    // end with the close, and no close was asked for. A server that then closes its own side
    // only costs the next request a new server connection.
    bool keptAlive() const;
    // Bytes of the final reply, not only interim ones, have been passed on: the proxy can no
    // longer answer in its place.
    bool finalReplyStarted() const;
    // The request offered to switch protocols; a 101 to one that did not is a bad reply.
    void setUpgradeAsked(bool asked);

    // Inside a decrypted tunnel: starts TLS on the connection the tunnel opened, verified for
    // peerName with this configuration, and makes every later server connection the same way.
    // tlsReady follows once the handshake is over, either way.
    void startTls(const QString &peerName, const QSslConfiguration &configuration);
    // Every later server connection is made with TLS, verified for peerName, with no tunnel
    // before it (a request the user sends again to an https server); with no peerName, in the
    // clear.
    void setSecure(const QString &peerName, const QSslConfiguration &configuration);
    // What the server side's TLS session is (or why it failed), with the protocol chosen.
    QString tlsSummary() const;
    // Hands the open, idle TLS connection startTls made to the pool, or leaves its HTTP/2 session
    // there, so that the exchanges of other browser connections of the thread use it. Harmless
    // when there is nothing to hand over.
    void releaseToPool();

signals:
    void Connected();
    void TransferCompleted(
        const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength);
    void DataReceived(const QByteArray &Buffer, qint32 BufferSize, qint32 ContentLength);
    // The server connection could not be made, or failed before any byte of the final reply was
    // passed on (interim replies may have been); a reply that went wrong keeps its record.
    void failed(const QString &host, const QString &reason);
    // The server connection broke, or the reply went wrong, after reply bytes had been passed on.
    void brokenOff(const QString &reason);
    // The server connection's send queue, as EventSocket tells it.
    void sendComplete();
    void sendProgress(qint64 bytesLeft);
    // A 101 reply has been passed on: what follows goes both ways unchanged.
    void Upgraded();
    // The handshake startTls began is over; reason says why it failed.
    void tlsReady(bool ok, const QString &reason);

private:
    void adopt(EventSocket *socket);
    // The pool's key for the server of this exchange.
    QString serverKey() const;
    void Socket_Connect();
    void Socket_DataArrival(qint32 bytesTotal);
    void Socket_Close();
    void Socket_Error(qint16 Number, const QString &Description);
    void takeReply(QByteArray chunk);
    void complete();
    void serverGone(const QString &reason, bool keepRecord = false);
    void discardPart();
    void endPart(bool keep);
    void failLater(const QString &reason, bool keepRecord = false);
    void updateReadPause();
    void sendRequest();
    // Connects to the server of this exchange, directly or through the upstream proxy.
    void connectServer();
    // How this exchange's server is reached; an empty host for directly.
    EventSocket::Via route() const;
    // Sends the request over a kept connection, an HTTP/2 stream, or a new connection.
    void openServer();

    // HTTP/2: sends the request on a stream of a session with room, or waits for a connection
    // under way; false when a connection of this exchange's own is needed.
    bool openStream();
    // The connection has become an HTTP/2 session.
    Http2Client *takeSession();
    void startStream(Http2Client *session);
    void dropStream();
    void releaseClaim();
    void passOn(const QByteArray &record, const QByteArray &browser);
    void streamHead(int status, const Http2Message::Fields &fields) override;
    void streamData(const QByteArray &data) override;
    void streamEnd() override;
    void streamFailed(const QString &reason, bool unprocessed) override;

    EventSocket *m_socket = nullptr;
    QPointer<UpstreamPool> m_pool;
    std::shared_ptr<const UpstreamProxy> m_upstream;
    QString m_openKey; // the pool key of the server the socket was connected to
    QString m_host;
    QString m_url;
    qint32 m_port = 0;
    QString m_remoteIP;
    QByteArray m_sendHeader;
    QString m_responseFile;
    RecordWriter::Done m_recordDone;
    qint32 m_requestID = 0;

    // This exchange.
    quint64 m_exchange = 0; // counts exchanges, so that late reports of an earlier one are dropped
    bool m_finished = false;
    bool m_aborted = false;
    bool m_failed = false;
    bool m_partStarted = false;
    qint64 m_received = 0;
    ReplyFraming m_framing;
    QByteArray m_held; // reply bytes held back until their header has been accepted
    bool m_upgradeAsked = false;
    bool m_recordKept = false; // a reply that went wrong was recorded as it came
    bool m_reused = false; // sent over a connection an earlier exchange had opened
    bool m_retried = false;

    // The server connection.
    bool m_tunnel = false;
    bool m_upgraded = false;
    bool m_reusable = false;
    bool m_relayPaused = false;
    bool m_recordWritten = false; // the whole reply went to the record in one write
    QString m_writerPausedFor; // the record file whose backlog holds reading back
    bool m_secure = false;
    bool m_tlsPending = false;
    QString m_peerName;
    QSslConfiguration m_tlsConfiguration;
    QString m_lastTls; // the summary of the last TLS connection, once it left m_socket

    // HTTP/2.
    QPointer<Http2Client> m_session; // the last session used or made
    QString m_sessionKey;
    qint32 m_stream = 0; // this exchange's stream on m_session; 0 for none
    bool m_chunked = false; // the reply passed on is chunked
    ReplyFraming::Verdict m_verdict = ReplyFraming::Verdict::More;
    QString m_claim; // the server whose awaited connection this exchange makes
};

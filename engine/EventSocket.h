#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QHostAddress;
class QSslConfiguration;
class QTcpServer;
class QTcpSocket;

// Event-driven TCP socket over QTcpServer/QTcpSocket. One instance listens, carries an accepted
// browser connection, or carries an outgoing connection. Every event is a signal raised
// synchronously on the GUI thread. Bytes travel as QByteArray, one character per byte, with no
// text codec anywhere.
//
// Failing operations (Bind, Listen, Accept) throw RaisedError carrying the socket error number
// (Winsock numbering: 10048 address in use, 10049 address not available, ...).
class EventSocket : public QObject
{
    Q_OBJECT

public:
    // Values of State().
    enum StateCode : int {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    // Error numbers raised with the Error signal and thrown by the operations.
    enum ErrorNumber : qint16 {
        sckAddressInUse = 10048,
        sckAddressNotAvailable = 10049,
        sckConnectionAborted = 10053,
        sckConnectionReset = 10054,
        sckTimedOut = 10060,
        sckConnectionRefused = 10061,
        sckHostNotFound = 11001,
        // Not a Winsock number: the TLS handshake failed (its reason is in the description).
        sckTlsFailed = 12001,
        // Not a Winsock number: the upstream proxy could not be reached or would not open a tunnel.
        sckProxyFailed = 12002,
    };

    explicit EventSocket(QObject *parent = nullptr);
    ~EventSocket() override;

    // The far end of a socket that carries a stream inside another connection (one HTTP/2 stream
    // of a browser connection) instead of a connection of its own. The socket's owner uses it as
    // any connected socket; what it sends and how it closes go to the far end, which answers
    // with pipeReceived, pipeDrained and pipeFinished.
    class Pipe
    {
    public:
        virtual ~Pipe() = default;
        virtual void pipeSend(const QByteArray &data) = 0;
        // Bytes sent and not yet passed on by the far end.
        virtual qint64 pipeQueued() const = 0;
        // The owner will send nothing more: after a shutdown, or a close.
        virtual void pipeClosed() = 0;
        virtual QString pipePeerIP() const = 0;
        virtual QString pipeLocalIP() const = 0;
    };
    // Carries the stream of pipe from now on, as a connected socket; the pipe must outlive the
    // socket or be cut loose with detachPipe first.
    void attachPipe(Pipe *pipe);
    void detachPipe();
    // From the far end: bytes for the owner (DataArrival, at once unless reading is paused);
    // what was sent has gone but bytesLeft (sendProgress, SendComplete at 0); the far end will
    // send no more (Closed once everything before it has been taken).
    void pipeReceived(const QByteArray &data);
    void pipeDrained(qint64 bytesLeft);
    void pipeFinished();

    // Closes whatever the socket carries; harmless on a closed socket.
    void Close();
    // Reserves the address for listening; the actual listen happens in Listen.
    void Bind(qint32 localPort, const QString &localIP);
    void Listen();
    // Asked with each connection's peer address as it is accepted, before anything of it is
    // read; a connection it refuses is closed at once and never announced. Set before Listen.
    void setAcceptFilter(std::function<bool(const QHostAddress &peer)> filter);
    qint32 LocalPort() const;
    QString LocalIP() const;
    // On a fresh instance: take over the pending connection that ConnectionRequest announced.
    void Accept(qint32 requestID);
    // A pending connection on its way to another thread: its descriptor, detached from the
    // listener's socket object so that nothing of it is handled before its new owner is ready;
    // or, where that cannot be done, the socket object itself, with no parent, to be moved.
    struct Handoff {
        qintptr descriptor = -1;
        QTcpSocket *socket = nullptr;
    };
    // Takes the pending connection that ConnectionRequest announced out of the pending list;
    // empty when there is none.
    static Handoff takePendingForThread(qint32 requestID);
    // An identifier no pending or later accepted connection gets, for a connection the program
    // makes itself; on the listener's thread only.
    static qint32 newRequestID();
    // On a fresh instance on the receiving thread.
    void Accept(const Handoff &handoff);
    // An HTTP proxy to connect through: the socket connects to it and, for a tunnel, asks it
    // with CONNECT for one to the host, then goes on as if connected to the host itself. A
    // failure of the proxy is raised as sckProxyFailed with a description that names it.
    struct Via {
        QString host;
        qint32 port = 0;
        QString name; // as descriptions name the proxy
        QByteArray authorization; // the Proxy-Authorization value, if any
        bool tunnel = true; // false: the caller speaks to the proxy itself
    };
    // What a 407 of the proxy means: credentials missing or wrong.
    static QString credentialsRefused(const Via &via);
    // Connects in the background; Connected or Error follows.
    void Connect(const QString &host, qint32 port);
    void Connect(const QString &host, qint32 port, const Via &via);
    // Queues the bytes; SendComplete follows when everything queued has gone. On a socket that
    // is neither connected nor connecting the bytes are dropped: there is nobody to send them
    // to, so callers check State() first.
    void SendData(const QByteArray &data);
    // Hands over every received byte not yet taken.
    void GetData(QByteArray &data);
    qint32 BytesReceived() const;
    int State() const;
    QString RemoteHostIP() const;
    QString RemoteHost() const;

    // TLS. Connects like Connect, then makes the TLS handshake; Connected follows it, and a
    // failed handshake (or a certificate that fails verification) raises tlsFailed, then Error.
    void ConnectEncrypted(
        const QString &host, qint32 port, const QString &peerName, const QSslConfiguration &configuration);
    void ConnectEncrypted(const QString &host, qint32 port, const QString &peerName,
        const QSslConfiguration &configuration, const Via &via);
    // Answers as the server of a TLS handshake on this accepted connection; encrypted follows.
    void startServerTls(const QSslConfiguration &configuration);
    // Starts TLS as the client on this connected outgoing connection; encrypted follows.
    void startClientTls(const QString &peerName, const QSslConfiguration &configuration);
    bool isEncrypted() const;
    // The application protocol the TLS handshake settled on (ALPN), such as "h2"; empty for none.
    QByteArray negotiatedProtocol() const;
    // Received bytes not taken yet, left in place for GetData.
    QByteArray peekData(qint64 maxBytes) const;
    // Protocol, cipher, ALPN and the peer's certificate with its verification, one per line.
    QString tlsSummary() const;

    // Bytes queued towards the peer that the system has not taken yet.
    qint64 bytesToWrite() const;
    // Back-pressure: while paused, no DataArrival is raised, the socket stops reading from the
    // system once its buffer is full, and a peer close is held back until the data before it
    // has been delivered and taken with GetData. Resuming raises DataArrival for what is waiting.
    void setReadPaused(bool paused);
    bool readPaused() const;

    // Shuts down the sending side once everything queued has gone; reading goes on.
    void ShutdownSend();
    // From here on the peer's end of stream is raised as peerFinished and sending goes on,
    // instead of the connection being closed. Takes effect only on a connected socket with
    // nothing queued yet, and only where a spare descriptor can be had; elsewhere the peer's
    // end stays a close. It costs a descriptor, so owners ask for it only when they need it.
    void allowHalfClose();

    // A listener that fails to accept (descriptors exhausted) stops accepting and tries again
    // after this long; the kernel keeps the waiting connections meanwhile.
    static constexpr int AcceptRetryMs = 250;
    // The listener also stops accepting, the same way, while fewer descriptors than this are
    // left: an exchange needs some for its server connection and records.
    static constexpr int DescriptorHeadroom = 8;
    // A closed connection that still has bytes to send, or was shut down for sending, reads and
    // drops what the peer still sends for this long after the last byte has gone, so that the
    // system does not answer the peer with a reset that destroys the reply.
    static constexpr int DrainMs = 2000;
    // Ends at once the closed connections of the calling thread that are still sending or
    // draining, before its event loop stops for good: their timers would never fire.
    static void abortDraining();

    // Test seams: raise events that a real listening socket cannot produce.
    void raiseDataArrival(qint32 bytesTotal);
    void raiseError(qint16 number, const QString &description);

signals:
    void ConnectionRequest(qint32 RequestID);
    void DataArrival(qint32 bytesTotal);
    void SendComplete();
    // Some of the queued bytes have gone; bytesLeft are still queued.
    void sendProgress(qint64 bytesLeft);
    // The socket's Connect event: an outgoing connection is made.
    void Connected();
    // The socket's Close event: the peer closed, or, on a half-close socket, refused what was
    // sent after it had finished sending.
    void Closed();
    // Half-close sockets only: the peer has finished sending; the socket can still send.
    void peerFinished();
    // The TLS handshake has finished.
    void encrypted();
    // The TLS handshake failed; the reason names what a user can act on.
    void tlsFailed(const QString &reason);
    // The listener could not accept a connection; it accepts again AcceptRetryMs later.
    void acceptFailed(const QString &reason);
    void Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
        const QString &HelpFile, qint32 HelpContext, bool *CancelDisplay);

private:
    void acceptSocket(QTcpSocket *socket);
    void takeSocket(QTcpSocket *socket);
    void releaseSocket();
    void releaseServer();
    static void drainAndClose(QTcpSocket *socket, bool alreadyShut);
    void onNewConnection();
    void onAcceptError();
    void pauseAccepting(const QString &reason);
    QString descriptorShortage() const;
    void shutdownIfDrained();
    void onSpareSent(qint64 bytesLeft, bool failed);
    void onReadyRead();
    void onEncrypted();
    void onConnected();
    void opened();
    void readProxyReply();
    void proxyFailed(const QString &description);
    void onBytesWritten();
    void onSocketError(int error);
    void onPeerClosed();
    bool raisedLater(const std::function<void()> &event);
    void schedulePump();
    void pump();
    void pumpPipe();
    void raiseSocketError(qint16 number, const QString &description);
    void failConnectLater(qint16 number, const QString &description);

    // Implementation is the platform layer's affair.
    struct Private;
    Private *d = nullptr;
};

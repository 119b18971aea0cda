#include "EventSocket.h"

#include "RaisedError.h"

#include <QCryptographicHash>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <limits>
#include <memory>
#include <utility>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <winsock2.h>
#endif

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace {

const QString ErrorSource = QStringLiteral("EventSocket");

// The calling thread's closed connections that are still sending or draining; each deletes itself
// when done, which nulls its entry.
QList<QPointer<QTcpSocket>> &drainingSockets()
{
    thread_local QList<QPointer<QTcpSocket>> sockets;
    return sockets;
}

#ifdef Q_OS_UNIX
// Copies a descriptor that a Qt socket or server owns. Qt accepts and closes it where
// ThreadSanitizer does not look, so a record of this read of the number would outlive the
// descriptor and be paired with whichever thread gets the same number next, after Qt closed it:
// ThreadSanitizer is told to keep none. In other builds this is a plain dup().
int copyQtDescriptor(qintptr descriptor)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_ignore_thread_begin();
    const int copy = ::dup(int(descriptor));
    __tsan_ignore_thread_end();
    return copy;
#else
    return ::dup(int(descriptor));
#endif
}
#endif

// Accepted connections are TLS-capable sockets that start out plain, so that a tunnel through
// them can later be answered with TLS in the place of its server.
class TlsCapableServer : public QTcpServer
{
public:
    std::function<bool(const QHostAddress &)> filter;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor) && (!filter || filter(socket->peerAddress()))) {
            addPendingConnection(socket);
            return;
        }
        socket->abort();
        delete socket;
    }
};

QString protocolName(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2:
        return QStringLiteral("TLS 1.2");
    case QSsl::TlsV1_3:
        return QStringLiteral("TLS 1.3");
    default:
        return QStringLiteral("TLS (other)");
    }
}

// The words a user looks for first, then the library's own text.
QString describeTlsErrors(const QList<QSslError> &errors)
{
    QStringList out;
    for (const QSslError &error : errors) {
        QString word;
        switch (error.error()) {
        case QSslError::CertificateExpired:
            word = QStringLiteral("certificate expired");
            break;
        case QSslError::CertificateNotYetValid:
            word = QStringLiteral("certificate not yet valid");
            break;
        case QSslError::HostNameMismatch:
            word = QStringLiteral("name mismatch");
            break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
            word = QStringLiteral("unknown issuer");
            break;
        default:
            word = QStringLiteral("certificate not trusted");
            break;
        }
        out << word + QStringLiteral(" (") + error.errorString() + QLatin1Char(')');
    }
    out.removeDuplicates();
    return out.join(QStringLiteral("; "));
}

// While reading is paused Qt keeps at most this much; the rest waits in the kernel, whose
// full window then makes the peer stop sending.
// Left alone, Qt reads all the system holds for a socket in one go (tens of megabytes on
// loopback), and every chunk handed on is then copied into the peer's send queue. Bounding one
// read bounds the memory of a transfer; while reading is paused it also makes Qt stop reading.
constexpr qint64 ReadBufferSize = 256 * 1024;

// An upstream proxy's answer to CONNECT is a header alone; one longer than this is not one.
constexpr qint64 MaxProxyReplyHeader = 16 * 1024;

// A closing socket that still has bytes to send gets this long to hand them over.
constexpr int LingerMilliseconds = 30000;

constexpr qint32 ErrorAlreadyInUse = 10056;
constexpr qint32 ErrorInvalidArgument = 10022;

// Connections announced with ConnectionRequest and not yet taken over by Accept. Program-wide,
// because Accept is called on a different instance from the listening one.
QHash<qint32, QPointer<QTcpSocket>> &pendingConnections()
{
    static QHash<qint32, QPointer<QTcpSocket>> table;
    return table;
}

qint32 nextRequestID()
{
    static qint32 last = 0;
    do {
        last = last == std::numeric_limits<qint32>::max() ? 1 : last + 1;
    } while (pendingConnections().contains(last));
    return last;
}

QString dottedText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return address.toString();
}

qint16 winsockNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return EventSocket::sckConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError:
        return EventSocket::sckConnectionReset;
    case QAbstractSocket::HostNotFoundError:
        return EventSocket::sckHostNotFound;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return EventSocket::sckTimedOut;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::NetworkError:
        return 10051;
    case QAbstractSocket::AddressInUseError:
        return EventSocket::sckAddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return EventSocket::sckAddressNotAvailable;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    default:
        return EventSocket::sckConnectionAborted;
    }
}

// RFC 6761 section 6.4: "invalid" and every name below it never resolve, and resolver
// libraries are asked to answer them negatively without a look-up.
bool isReservedInvalidName(QString host)
{
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host.compare(QLatin1String("invalid"), Qt::CaseInsensitive) == 0
        || host.endsWith(QLatin1String(".invalid"), Qt::CaseInsensitive);
}

// What a socket still has to hand to the system: on a TLS connection, the sealed bytes too.
qint64 unsent(const QTcpSocket *socket)
{
    const auto *ssl = qobject_cast<const QSslSocket *>(socket);
    return socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
}

void shutdownSending(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(descriptor), SD_SEND);
#else
    ::shutdown(int(descriptor), SHUT_WR);
#endif
}

#ifdef Q_OS_UNIX
#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int SendFlags = MSG_DONTWAIT;
#endif

// Qt closes its descriptor as soon as it reads the peer's end of stream and drops whatever it
// had not sent yet, so a half-close socket sends through a duplicate descriptor of its own,
// which keeps the connection open for the reply after Qt has let go.
class SpareWriter : public QObject
{
public:
    // onSent(bytesLeft, failed) follows every send that moved bytes or failed.
    SpareWriter(int fd, std::function<void(qint64, bool)> onSent)
        : m_fd(fd)
        , m_onSent(std::move(onSent))
        , m_write(new QSocketNotifier(fd, QSocketNotifier::Write, this))
    {
        m_write->setEnabled(false);
        connect(m_write, &QSocketNotifier::activated, this, [this] { flush(); });
    }
    ~SpareWriter() override { closeNow(); }

    qint64 queued() const { return m_pending.size() - m_offset; }
    void send(const QByteArray &data)
    {
        m_pending.remove(0, m_offset);
        m_offset = 0;
        m_pending += data;
        m_write->setEnabled(m_fd >= 0);
    }
    void shutdownWhenSent()
    {
        m_shutdownWanted = true;
        m_write->setEnabled(m_fd >= 0);
    }
    void closeNow()
    {
        m_onSent = nullptr;
        if (m_fd < 0)
            return;
        m_write->setEnabled(false);
        if (m_read)
            m_read->setEnabled(false);
        ::close(m_fd);
        m_fd = -1;
    }
    // Owned by nobody from here on: sends what is left, shuts the sending side down, drops what
    // the peer still sends until its end or DrainMs, and deletes itself.
    void linger()
    {
        m_onSent = nullptr;
        setParent(nullptr);
        m_lingering = true;
        m_shutdownWanted = true;
        m_read = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_read, &QSocketNotifier::activated, this, [this] { drain(); });
        QTimer::singleShot(LingerMilliseconds, this, [this] { finish(); });
        m_write->setEnabled(true);
    }

private:
    void flush()
    {
        bool failed = false;
        while (queued() > 0) {
            const ssize_t n = ::send(m_fd, m_pending.constData() + m_offset, size_t(queued()), SendFlags);
            if (n >= 0) {
                m_offset += n;
                continue;
            }
            if (errno == EINTR)
                continue;
            failed = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        if (failed || queued() == 0) {
            m_pending = QByteArray();
            m_offset = 0;
        }
        m_write->setEnabled(!failed && queued() > 0);
        if (!failed && queued() == 0 && m_shutdownWanted && !m_shutDown) {
            ::shutdown(m_fd, SHUT_WR);
            m_shutDown = true;
            if (m_lingering)
                QTimer::singleShot(EventSocket::DrainMs, this, [this] { finish(); });
        }
        if (m_lingering && (failed || (m_shutDown && m_peerDone))) {
            finish();
            return;
        }
        // A copy: the handler may close this writer, which drops the original.
        const auto onSent = m_onSent;
        if (onSent)
            onSent(queued(), failed);
    }
    void drain()
    {
        char sink[16384];
        for (;;) {
            const ssize_t n = ::recv(m_fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n > 0 || (n < 0 && errno == EINTR))
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            m_read->setEnabled(false);
            m_peerDone = true;
            if (m_shutDown || n < 0)
                finish();
            return;
        }
    }
    void finish()
    {
        closeNow();
        deleteLater();
    }

    int m_fd = -1;
    std::function<void(qint64, bool)> m_onSent;
    QSocketNotifier *m_write = nullptr;
    QSocketNotifier *m_read = nullptr;
    QByteArray m_pending;
    qsizetype m_offset = 0;
    bool m_shutdownWanted = false;
    bool m_shutDown = false;
    bool m_lingering = false;
    bool m_peerDone = false;
};
#else
// Where no duplicate descriptor can outlive Qt's, a half-close socket behaves as any other.
class SpareWriter : public QObject
{
public:
    qint64 queued() const { return 0; }
    void send(const QByteArray &) { }
    void shutdownWhenSent() { }
    void closeNow() { }
    void linger() { deleteLater(); }
};
#endif

} // namespace

struct EventSocket::Private {
    QPointer<QTcpServer> server;
    QPointer<QTcpSocket> socket;
    qint32 bindPort = 0;
    QHostAddress bindAddress { QHostAddress::LocalHost };
    int state = sckClosed;
    bool readPaused = false;
    // Bytes arrived that no DataArrival has announced yet.
    bool unannounced = false;
    bool pumpScheduled = false;
    // The peer has closed; Closed waits until the data before it is delivered and taken.
    bool peerClosed = false;
    bool closedRaised = false;
    bool sendPending = false;
    bool shutdownWanted = false;
    bool shutDown = false;
    // A half-close socket's peer refused what was sent after it had finished; Closed is raised.
    bool goneRaised = false;
    QPointer<SpareWriter> writer;
    bool resumeScheduled = false;
    qint64 bytesTaken = 0;
    // Bumped by Close so that a failure scheduled for an earlier Connect is dropped.
    quint64 generation = 0;
    // TLS: started on this connection, finished, and why it failed.
    bool tlsStarted = false;
    bool connectEncrypted = false;
    bool encrypted = false;
    QString tlsErrors;
    // Inside a call of ours into Qt that can fail on bytes it already holds (a handshake
    // started over a buffered ClientHello): the socket must not be released under Qt's feet.
    int callsIntoQt = 0;
    std::function<bool(const QHostAddress &)> acceptFilter;
    // Through an upstream proxy: where the tunnel goes, whether the proxy's answer is awaited,
    // and whether the connection is open (to the proxy itself, or through its tunnel).
    Via via;
    QByteArray viaTarget;
    bool viaAwaiting = false;
    bool viaOpen = false;
    // A stream inside another connection, and what it brought that was not taken yet.
    Pipe *pipe = nullptr;
    QByteArray pipeIn;
};

EventSocket::EventSocket(QObject *parent)
    : QObject(parent)
    , d(new Private)
{ }

EventSocket::~EventSocket()
{
    releaseSocket();
    releaseServer();
    delete d;
}

void EventSocket::Close()
{
    if (Pipe *pipe = std::exchange(d->pipe, nullptr)) {
        d->pipeIn.clear();
        pipe->pipeClosed();
    }
    releaseSocket();
    releaseServer();
    d->state = sckClosed;
    d->readPaused = false;
    d->unannounced = false;
    d->peerClosed = false;
    d->closedRaised = false;
    d->sendPending = false;
    d->shutdownWanted = false;
    d->shutDown = false;
    d->goneRaised = false;
    d->tlsStarted = false;
    d->connectEncrypted = false;
    d->encrypted = false;
    d->tlsErrors.clear();
    d->via = Via();
    d->viaTarget.clear();
    d->viaAwaiting = false;
    d->viaOpen = false;
    ++d->generation;
}

// The Qt objects may be in the middle of emitting one of their own signals, so they are only
// cut loose here and deleted later.
void EventSocket::releaseSocket()
{
    if (SpareWriter *writer = d->writer) {
        d->writer = nullptr;
        if (writer->queued() > 0 || d->shutdownWanted) {
            writer->linger();
        } else {
            writer->closeNow();
            writer->setParent(nullptr);
            writer->deleteLater();
        }
    }
    QTcpSocket *socket = d->socket;
    d->socket = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    if (d->tlsStarted && socket->state() == QAbstractSocket::ConnectedState) {
        // A TLS session ends with its close_notify once everything queued has gone; a shutdown
        // underneath it would cut off sealed bytes still on their way.
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(
            socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
        QTimer::singleShot(LingerMilliseconds, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
        return;
    }
    // A close over unread input makes the system answer with a reset, which throws away what
    // it still holds for the peer: a socket with bytes on their way closes in order instead.
    if (socket->state() == QAbstractSocket::ConnectedState && (d->shutdownWanted || unsent(socket) > 0)) {
        drainAndClose(socket, d->shutDown);
        return;
    }
    socket->abort();
    socket->deleteLater();
}

void EventSocket::abortDraining()
{
    for (const QPointer<QTcpSocket> &socket : std::exchange(drainingSockets(), {})) {
        if (socket) {
            socket->abort();
            delete socket;
        }
    }
}

// The sending side is shut down once everything queued has gone; then whatever the peer still
// sends is read and dropped until its end or DrainMs, and only then is the socket closed.
void EventSocket::drainAndClose(QTcpSocket *socket, bool alreadyShut)
{
    drainingSockets().removeAll(nullptr);
    drainingSockets().append(socket);
    QObject::connect(
        socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    const auto giveUp = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    QTimer::singleShot(LingerMilliseconds, socket, giveUp);
    const auto shut = std::make_shared<bool>(alreadyShut);
    const auto shutWhenSent = [socket, shut, giveUp] {
        if (*shut || unsent(socket) > 0 || socket->state() != QAbstractSocket::ConnectedState)
            return;
        *shut = true;
        shutdownSending(socket->socketDescriptor());
        QTimer::singleShot(DrainMs, socket, giveUp);
    };
    QObject::connect(socket, &QIODevice::bytesWritten, socket, shutWhenSent);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        QObject::connect(ssl, &QSslSocket::encryptedBytesWritten, ssl, shutWhenSent);
    if (alreadyShut)
        QTimer::singleShot(DrainMs, socket, giveUp);
    else
        shutWhenSent();
    socket->skip(socket->bytesAvailable());
}

void EventSocket::releaseServer()
{
    QTcpServer *server = d->server;
    d->server = nullptr;
    d->resumeScheduled = false;
    if (!server)
        return;
    server->disconnect(this);
    server->close();
    server->deleteLater();
}

void EventSocket::Bind(qint32 localPort, const QString &localIP)
{
    if (d->state != sckClosed)
        throw RaisedError(ErrorAlreadyInUse, ErrorSource, QStringLiteral("The socket is already in use"));
    if (localPort < 0 || localPort > 65535)
        throw RaisedError(sckAddressNotAvailable, ErrorSource, QStringLiteral("The port is out of range"));
    const QString ip = localIP.trimmed();
    QHostAddress address;
    if (ip.isEmpty() || ip.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(ip))
        throw RaisedError(
            sckAddressNotAvailable, ErrorSource, QStringLiteral("The address is not valid: ") + ip);
    d->bindPort = localPort;
    d->bindAddress = address;
}

void EventSocket::Listen()
{
    if (d->state != sckClosed)
        throw RaisedError(ErrorAlreadyInUse, ErrorSource, QStringLiteral("The socket is already in use"));
    auto *server = new TlsCapableServer;
    server->filter = d->acceptFilter;
    if (!server->listen(d->bindAddress, quint16(d->bindPort))) {
        const RaisedError error(winsockNumber(server->serverError()), ErrorSource, server->errorString());
        delete server;
        throw error;
    }
    d->server = server;
    // Qt accepts in a loop that only a full pending list stops; with room for one, a listener
    // short of descriptors can stop it by leaving the connection there.
    server->setMaxPendingConnections(1);
    connect(server, &QTcpServer::newConnection, this, &EventSocket::onNewConnection);
    connect(server, &QTcpServer::acceptError, this, &EventSocket::onAcceptError);
    d->state = sckListening;
}

void EventSocket::setAcceptFilter(std::function<bool(const QHostAddress &peer)> filter)
{
    d->acceptFilter = std::move(filter);
}

qint32 EventSocket::LocalPort() const
{
    if (d->server)
        return d->server->serverPort();
    if (d->socket && d->socket->state() != QAbstractSocket::UnconnectedState)
        return d->socket->localPort();
    return d->bindPort;
}

QString EventSocket::LocalIP() const
{
    if (d->pipe)
        return d->pipe->pipeLocalIP();
    if (d->server)
        return dottedText(d->server->serverAddress());
    if (d->socket && d->socket->state() == QAbstractSocket::ConnectedState)
        return dottedText(d->socket->localAddress());
    return QStringLiteral("127.0.0.1");
}

void EventSocket::onNewConnection()
{
    QPointer<EventSocket> self(this);
    while (self && d->server && d->server->hasPendingConnections()) {
        const QString shortage = descriptorShortage();
        if (!shortage.isEmpty()) {
            // The connection waits in the pending list, whose limit of one stops Qt's accept loop.
            pauseAccepting(shortage);
            return;
        }
        QTcpSocket *socket = d->server->nextPendingConnection();
        if (!socket)
            break;
        const qint32 id = nextRequestID();
        pendingConnections().insert(id, socket);
        emit ConnectionRequest(id);
        // Nobody took it: the peer must see a close rather than a connection that hangs.
        const QPointer<QTcpSocket> unaccepted = pendingConnections().take(id);
        if (unaccepted) {
            unaccepted->close();
            unaccepted->deleteLater();
        }
    }
}

// Accepting pauses while fewer than DescriptorHeadroom descriptors are free, so that the
// exchanges under way can still open their server connections and record files, and no code
// runs with none left. Empty when there are enough; otherwise the system's reason.
QString EventSocket::descriptorShortage() const
{
#ifdef Q_OS_UNIX
    if (!d->server)
        return QString();
    int probes[DescriptorHeadroom];
    int taken = 0;
    int error = 0;
    while (taken < DescriptorHeadroom) {
        probes[taken] = copyQtDescriptor(d->server->socketDescriptor());
        if (probes[taken] < 0) {
            error = errno;
            break;
        }
        ++taken;
    }
    while (taken > 0)
        ::close(probes[--taken]);
    return error ? qt_error_string(error) : QString();
#else
    return QString();
#endif
}

// Qt has stopped accepting. Nothing would resume it, and resuming at once would fail again at
// once for as long as the descriptors are exhausted.
void EventSocket::onAcceptError()
{
    if (d->server)
        pauseAccepting(d->server->errorString());
}

void EventSocket::pauseAccepting(const QString &reason)
{
    d->server->pauseAccepting();
    if (!d->resumeScheduled) {
        d->resumeScheduled = true;
        const QPointer<EventSocket> self(this);
        QTimer::singleShot(AcceptRetryMs, d->server, [self] {
            if (!self || !self->d->server)
                return;
            self->d->resumeScheduled = false;
            const QString shortage = self->descriptorShortage();
            if (!shortage.isEmpty()) {
                self->pauseAccepting(shortage);
                return;
            }
            self->d->server->resumeAccepting();
            self->onNewConnection();
        });
    }
    emit acceptFailed(reason);
}

namespace {
QTcpSocket *takePending(qint32 requestID)
{
    const QPointer<QTcpSocket> socket = pendingConnections().take(requestID);
    // The listening server must not take the connection down with it.
    if (socket)
        socket->setParent(nullptr);
    return socket;
}
} // namespace

qint32 EventSocket::newRequestID()
{
    return nextRequestID();
}

EventSocket::Handoff EventSocket::takePendingForThread(qint32 requestID)
{
    QTcpSocket *socket = takePending(requestID);
#ifdef Q_OS_UNIX
    // Moved as an object, the socket would read and see the peer's end on its new thread before
    // anyone there listens, and a browser that sent its request and then its end would be taken
    // for gone. A copy of the descriptor carries the connection over untouched; closing the
    // original then sends nothing, since the copy keeps the connection open.
    if (socket && socket->bytesAvailable() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        const int copy = copyQtDescriptor(socket->socketDescriptor());
        if (copy >= 0) {
            socket->abort();
            delete socket;
            return { copy, nullptr };
        }
    }
#endif
    return { -1, socket };
}

void EventSocket::Accept(const Handoff &handoff)
{
    if (handoff.socket)
        return acceptSocket(handoff.socket);
    // TLS-capable like the listener's own sockets, so that a tunnel through it can be decrypted.
    auto *socket = new QSslSocket;
    if (handoff.descriptor < 0 || !socket->setSocketDescriptor(handoff.descriptor)) {
        delete socket;
        throw RaisedError(
            ErrorInvalidArgument, ErrorSource, QStringLiteral("The connection could not be taken over"));
    }
    acceptSocket(socket);
}

void EventSocket::Accept(qint32 requestID)
{
    if (d->state != sckClosed)
        throw RaisedError(ErrorAlreadyInUse, ErrorSource, QStringLiteral("The socket is already in use"));
    QTcpSocket *socket = takePending(requestID);
    if (!socket)
        throw RaisedError(ErrorInvalidArgument, ErrorSource,
            QStringLiteral("No pending connection with identifier ") + QString::number(requestID));
    acceptSocket(socket);
}

void EventSocket::acceptSocket(QTcpSocket *socket)
{
    if (d->state != sckClosed)
        throw RaisedError(ErrorAlreadyInUse, ErrorSource, QStringLiteral("The socket is already in use"));
    takeSocket(socket);
    d->state = sckConnected;
    if (socket->bytesAvailable() > 0)
        d->unannounced = true;
    if (socket->state() == QAbstractSocket::UnconnectedState)
        d->peerClosed = true;
    schedulePump();
}

void EventSocket::takeSocket(QTcpSocket *socket)
{
    d->socket = socket;
    d->bytesTaken = 0;
    socket->setReadBufferSize(ReadBufferSize);
    // Replies and handshakes go out in several small writes; waiting for the peer's delayed
    // acknowledgement before each (Nagle's algorithm) costs a round of 40 ms every time.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QIODevice::readyRead, this, &EventSocket::onReadyRead);
    connect(socket, &QIODevice::bytesWritten, this, &EventSocket::onBytesWritten);
    connect(socket, &QAbstractSocket::errorOccurred, this,
        [this](QAbstractSocket::SocketError error) { onSocketError(int(error)); });
    connect(socket, &QAbstractSocket::disconnected, this, &EventSocket::onPeerClosed);
    connect(socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (d->state == sckResolvingHost && state == QAbstractSocket::ConnectingState)
            d->state = sckConnecting;
    });
    connect(socket, &QAbstractSocket::connected, this, &EventSocket::onConnected);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        connect(ssl, &QSslSocket::encrypted, this, &EventSocket::onEncrypted);
        // Sealed bytes leave later than Qt reports the plain ones written.
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &EventSocket::onBytesWritten);
        connect(ssl, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { d->tlsErrors = describeTlsErrors(errors); });
    }
}

void EventSocket::onEncrypted()
{
    d->encrypted = true;
    QPointer<EventSocket> self(this);
    emit encrypted();
    // A connection made with ConnectEncrypted is there for its owner only now.
    if (self && d->socket && d->connectEncrypted)
        emit Connected();
    // Bytes decrypted while the handshake finished are announced like any others.
    if (self && d->socket && d->socket->bytesAvailable() > 0) {
        d->unannounced = true;
        schedulePump();
    }
}

void EventSocket::ConnectEncrypted(
    const QString &host, qint32 port, const QString &peerName, const QSslConfiguration &configuration)
{
    ConnectEncrypted(host, port, peerName, configuration, Via());
}

void EventSocket::ConnectEncrypted(const QString &host, qint32 port, const QString &peerName,
    const QSslConfiguration &configuration, const Via &via)
{
    Connect(host, port, via);
    auto *ssl = qobject_cast<QSslSocket *>(d->socket);
    if (!ssl)
        return;
    // Connect has begun a plain connection; encryption starts as soon as it is open.
    d->tlsStarted = true;
    d->connectEncrypted = true;
    ssl->setSslConfiguration(configuration);
    ssl->setPeerVerifyName(peerName);
}

void EventSocket::onConnected()
{
    d->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!d->via.host.isEmpty() && d->via.tunnel && !d->viaOpen) {
        // RFC 9110 section 9.3.6: the target of CONNECT is host and port, also in Host.
        QByteArray request = "CONNECT " + d->viaTarget + " HTTP/1.1\r\nHost: " + d->viaTarget + "\r\n";
        if (!d->via.authorization.isEmpty())
            request += "Proxy-Authorization: " + d->via.authorization + "\r\n";
        d->socket->write(request + "\r\n");
        d->viaAwaiting = true;
        return;
    }
    d->viaOpen = true;
    opened();
}

void EventSocket::opened()
{
    d->state = sckConnected;
    // An encrypted connection is there for its owner once its handshake is done.
    if (d->connectEncrypted) {
        if (auto *ssl = qobject_cast<QSslSocket *>(d->socket))
            ssl->startClientEncryption();
    } else if (!d->tlsStarted) {
        emit Connected();
    }
}

void EventSocket::readProxyReply()
{
    const QByteArray seen = d->socket->peek(MaxProxyReplyHeader);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() >= MaxProxyReplyHeader)
            proxyFailed(
                QStringLiteral("the upstream proxy %1 sent a reply header that never ends").arg(d->via.name));
        return;
    }
    d->socket->skip(end + 4);
    d->viaAwaiting = false;
    // "HTTP/1.1 200 Connection established": any 2xx opens the tunnel (RFC 9110 section 9.3.6).
    const QByteArray line = seen.first(seen.indexOf("\r\n"));
    const qsizetype codeAt = line.indexOf(' ');
    const QByteArray statusText = codeAt < 0 ? QByteArray() : line.mid(codeAt + 1).trimmed();
    const int status = line.startsWith("HTTP/") ? statusText.left(3).toInt() : 0;
    if (status >= 200 && status < 300) {
        d->viaOpen = true;
        const QPointer<EventSocket> self(this);
        opened();
        // Bytes the server sent first through the tunnel are announced like any others.
        if (self && d->socket && !d->tlsStarted && d->socket->bytesAvailable() > 0) {
            d->unannounced = true;
            schedulePump();
        }
        return;
    }
    if (status == 407)
        proxyFailed(credentialsRefused(d->via));
    else if (status > 0)
        proxyFailed(QStringLiteral("the upstream proxy %1 refused the CONNECT with %2")
                        .arg(d->via.name, QString::fromLatin1(statusText)));
    else
        proxyFailed(QStringLiteral("the upstream proxy %1 gave no HTTP reply to CONNECT").arg(d->via.name));
}

QString EventSocket::credentialsRefused(const Via &via)
{
    return via.authorization.isEmpty()
        ? QStringLiteral("the upstream proxy %1 asks for credentials (407) and none are set").arg(via.name)
        : QStringLiteral("the upstream proxy %1 refused the credentials (407)").arg(via.name);
}

void EventSocket::proxyFailed(const QString &description)
{
    d->viaAwaiting = false;
    d->state = sckError;
    raiseSocketError(sckProxyFailed, description);
}

void EventSocket::startServerTls(const QSslConfiguration &configuration)
{
    auto *ssl = qobject_cast<QSslSocket *>(d->socket);
    if (!ssl) {
        emit tlsFailed(QStringLiteral("the connection cannot answer TLS"));
        return;
    }
    // From here on every byte goes through the TLS session, never past it.
    if (SpareWriter *writer = d->writer) {
        d->writer = nullptr;
        writer->closeNow();
        writer->setParent(nullptr);
        writer->deleteLater();
    }
    d->tlsStarted = true;
    d->tlsErrors.clear();
    ssl->setSslConfiguration(configuration);
    ++d->callsIntoQt;
    ssl->startServerEncryption();
    --d->callsIntoQt;
}

void EventSocket::startClientTls(const QString &peerName, const QSslConfiguration &configuration)
{
    auto *ssl = qobject_cast<QSslSocket *>(d->socket);
    if (!ssl)
        return;
    d->tlsStarted = true;
    d->tlsErrors.clear();
    ssl->setSslConfiguration(configuration);
    ssl->setPeerVerifyName(peerName);
    ++d->callsIntoQt;
    ssl->startClientEncryption();
    --d->callsIntoQt;
}

bool EventSocket::isEncrypted() const
{
    return d->encrypted;
}

QByteArray EventSocket::negotiatedProtocol() const
{
    auto *ssl = qobject_cast<QSslSocket *>(d->socket.data());
    return ssl && d->encrypted ? ssl->sslConfiguration().nextNegotiatedProtocol() : QByteArray();
}

QByteArray EventSocket::peekData(qint64 maxBytes) const
{
    return d->socket ? d->socket->peek(maxBytes) : QByteArray();
}

QString EventSocket::tlsSummary() const
{
    auto *ssl = qobject_cast<QSslSocket *>(d->socket.data());
    if (!ssl || !d->encrypted)
        return d->tlsErrors.isEmpty() ? QStringLiteral("no TLS session")
                                      : QStringLiteral("failed: ") + d->tlsErrors;
    const QSslConfiguration configuration = ssl->sslConfiguration();
    QString out = QStringLiteral("protocol: %1\r\ncipher: %2\r\nALPN: %3\r\n")
                      .arg(protocolName(ssl->sessionProtocol()), ssl->sessionCipher().name(),
                          configuration.nextNegotiatedProtocol().isEmpty()
                              ? QStringLiteral("(none)")
                              : QString::fromLatin1(configuration.nextNegotiatedProtocol()));
    const QSslCertificate peer = ssl->peerCertificate();
    if (!peer.isNull()) {
        out += QStringLiteral("certificate subject: %1\r\ncertificate issuer: %2\r\nvalid: %3 to %4\r\n"
                              "SHA-256 fingerprint: %5\r\nverification: %6\r\n")
                   .arg(peer.subjectDisplayName(), peer.issuerDisplayName(),
                       peer.effectiveDate().toString(Qt::ISODate), peer.expiryDate().toString(Qt::ISODate),
                       QString::fromLatin1(peer.digest(QCryptographicHash::Sha256).toHex(':')),
                       d->tlsErrors.isEmpty() ? QStringLiteral("verified") : d->tlsErrors);
    }
    return out;
}

void EventSocket::Connect(const QString &host, qint32 port)
{
    Connect(host, port, Via());
}

void EventSocket::Connect(const QString &host, qint32 port, const Via &via)
{
    if (d->state != sckClosed)
        throw RaisedError(ErrorAlreadyInUse, ErrorSource, QStringLiteral("The socket is already in use"));
    releaseSocket();
    d->peerClosed = false;
    d->closedRaised = false;
    d->unannounced = false;
    d->state = sckResolvingHost;
    if (isReservedInvalidName(host)) {
        failConnectLater(sckHostNotFound, QStringLiteral("Host not found"));
        return;
    }
    if (port < 0 || port > 65535) {
        failConnectLater(sckAddressNotAvailable, QStringLiteral("The port is out of range"));
        return;
    }
    auto *socket = new QSslSocket;
    takeSocket(socket);
    d->via = via;
    QString peer = host;
    qint32 peerPort = port;
    if (!via.host.isEmpty()) {
        d->viaTarget
            = (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host).toLatin1()
            + ':' + QByteArray::number(port);
        peer = via.host;
        peerPort = via.port;
    }
    QHostAddress literal;
    if (literal.setAddress(peer))
        d->state = sckConnecting;
    socket->connectToHost(peer, quint16(peerPort));
}

// Failures found before anything starts are still reported in the background, as the caller
// of Connect expects; never from inside Connect itself.
void EventSocket::failConnectLater(qint16 number, const QString &description)
{
    const quint64 generation = d->generation;
    QTimer::singleShot(0, this, [this, generation, number, description] {
        if (generation != d->generation || d->state != sckResolvingHost)
            return;
        d->state = sckError;
        raiseSocketError(number, description);
    });
}

void EventSocket::SendData(const QByteArray &data)
{
    if (d->pipe) {
        if (!data.isEmpty() && d->state == sckConnected) {
            d->sendPending = true;
            d->pipe->pipeSend(data);
        }
        return;
    }
    if (d->writer && !data.isEmpty() && !d->goneRaised) {
        d->sendPending = true;
        d->writer->send(data);
        return;
    }
    if (!d->socket || data.isEmpty())
        return;
    switch (d->socket->state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
    case QAbstractSocket::ConnectedState:
        break;
    default:
        return;
    }
    d->sendPending = true;
#if defined(__SANITIZE_THREAD__)
    // Copied into the socket's buffer rather than shared with it: the record writer's thread may
    // hold the same bytes, and Qt, not built with ThreadSanitizer, would give up its reference
    // where the race detector cannot see it, so the writer's free would look unordered with the
    // socket's reads. Other builds share the bytes, as a reply's body passes through here.
    d->socket->write(data.constData(), data.size());
#else
    d->socket->write(data);
#endif
}

void EventSocket::GetData(QByteArray &data)
{
    if (d->pipe || !d->pipeIn.isEmpty()) {
        data = std::exchange(d->pipeIn, QByteArray());
        d->bytesTaken += data.size();
        if (d->peerClosed && !d->closedRaised)
            schedulePump();
        return;
    }
    if (!d->socket) {
        data.clear();
        return;
    }
    // Read to the byte: readAll() grows its array in 16 KiB steps, and a small reply's array
    // lives on in the record writer's queue with all of that room.
    const qint64 available = d->socket->bytesAvailable();
    data = available > 0 ? d->socket->read(available) : d->socket->readAll();
    d->bytesTaken += data.size();
    if (d->peerClosed && !d->closedRaised)
        schedulePump();
}

qint32 EventSocket::BytesReceived() const
{
    if (d->pipe)
        return qint32(d->pipeIn.size());
    if (!d->socket)
        return 0;
    return qint32(qMin<qint64>(d->socket->bytesAvailable(), std::numeric_limits<qint32>::max()));
}

int EventSocket::State() const
{
    return d->state;
}

QString EventSocket::RemoteHostIP() const
{
    if (d->pipe)
        return d->pipe->pipePeerIP();
    if (!d->socket)
        return QString();
    return dottedText(d->socket->peerAddress());
}

QString EventSocket::RemoteHost() const
{
    if (d->pipe)
        return d->pipe->pipePeerIP();
    if (!d->socket)
        return QString();
    const QString name = d->socket->peerName();
    return name.isEmpty() ? dottedText(d->socket->peerAddress()) : name;
}

qint64 EventSocket::bytesToWrite() const
{
    if (d->pipe)
        return d->pipe->pipeQueued();
    if (d->writer)
        return d->writer->queued();
    return d->socket ? unsent(d->socket) : 0;
}

void EventSocket::ShutdownSend()
{
    if (Pipe *pipe = d->pipe) {
        // Nothing more goes to the far end; what it sends may still be read.
        d->shutdownWanted = true;
        pipe->pipeClosed();
        return;
    }
    d->shutdownWanted = true;
    if (d->writer)
        d->writer->shutdownWhenSent();
    else
        shutdownIfDrained();
}

void EventSocket::shutdownIfDrained()
{
    if (!d->shutdownWanted || d->shutDown || !d->socket || d->tlsStarted
        || d->socket->state() != QAbstractSocket::ConnectedState || unsent(d->socket) > 0)
        return;
    d->shutDown = true;
    shutdownSending(d->socket->socketDescriptor());
}

void EventSocket::allowHalfClose()
{
#ifdef Q_OS_UNIX
    // A second descriptor writing past TLS would send plain bytes into the session.
    if (d->writer || !d->socket || d->peerClosed || d->tlsStarted
        || d->socket->state() != QAbstractSocket::ConnectedState || unsent(d->socket) > 0)
        return;
    const int spare = copyQtDescriptor(d->socket->socketDescriptor());
    if (spare < 0)
        return;
    d->writer = new SpareWriter(spare, [this](qint64 left, bool failed) { onSpareSent(left, failed); });
    d->writer->setParent(this);
#endif
}

void EventSocket::onSpareSent(qint64 bytesLeft, bool failed)
{
    if (failed) {
        if (d->goneRaised || d->state == sckError)
            return;
        if (d->closedRaised) {
            // The peer had finished sending and has now gone: a close, not a failure.
            d->goneRaised = true;
            d->state = sckClosing;
            emit Closed();
        } else {
            d->state = sckError;
            raiseSocketError(sckConnectionReset, QStringLiteral("Connection reset by peer"));
        }
        return;
    }
    QPointer<EventSocket> self(this);
    emit sendProgress(bytesLeft);
    if (self && d->sendPending && bytesLeft == 0 && d->writer) {
        d->sendPending = false;
        emit SendComplete();
    }
}

void EventSocket::setReadPaused(bool paused)
{
    if (d->readPaused == paused)
        return;
    d->readPaused = paused;
    if (!paused)
        schedulePump();
}

bool EventSocket::readPaused() const
{
    return d->readPaused;
}

void EventSocket::raiseDataArrival(qint32 bytesTotal)
{
    emit DataArrival(bytesTotal);
}

void EventSocket::raiseError(qint16 number, const QString &description)
{
    raiseSocketError(number, description);
}

void EventSocket::raiseSocketError(qint16 number, const QString &description)
{
    bool cancelDisplay = false;
    emit Error(number, description, number, ErrorSource, QString(), 0, &cancelDisplay);
}

void EventSocket::onReadyRead()
{
    if (d->viaAwaiting) {
        readProxyReply();
        return;
    }
    d->unannounced = true;
    pump();
}

void EventSocket::schedulePump()
{
    if (d->pumpScheduled)
        return;
    d->pumpScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            d->pumpScheduled = false;
            pump();
        },
        Qt::QueuedConnection);
}

// Delivers what is waiting: DataArrival for unannounced bytes, then a held-back Closed once
// every byte before it has been taken.
void EventSocket::pump()
{
    if (d->pipe) {
        pumpPipe();
        return;
    }
    if (!d->socket || d->readPaused || d->closedRaised)
        return;
    QPointer<EventSocket> self(this);
    const qint64 waiting = d->socket->bytesAvailable();
    if (d->unannounced && waiting > 0) {
        d->unannounced = false;
        const qint64 takenBefore = d->bytesTaken;
        const quint64 generation = d->generation;
        emit DataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
        if (!self || !d->socket || d->generation != generation)
            return;
        // Qt raises no readyRead for bytes read while a handler of ours runs a nested event
        // loop; catch those here instead of leaving them until the next arrival.
        const qint64 arrived = d->socket->bytesAvailable() + (d->bytesTaken - takenBefore) - waiting;
        if (arrived > 0) {
            d->unannounced = true;
            schedulePump();
            return;
        }
    }
    if (d->peerClosed && !d->closedRaised && !d->readPaused && d->socket->bytesAvailable() == 0) {
        d->closedRaised = true;
        if (d->writer) {
            emit peerFinished();
            return;
        }
        d->state = sckClosing;
        emit Closed();
    }
}

void EventSocket::onBytesWritten()
{
    QPointer<EventSocket> self(this);
    emit sendProgress(d->socket ? unsent(d->socket) : 0);
    if (!self || !d->socket)
        return;
    // Checked again after the signal: a handler waiting in a nested loop keeps Qt from raising
    // bytesWritten for the drain that happens meanwhile.
    if (d->sendPending && unsent(d->socket) == 0) {
        d->sendPending = false;
        emit SendComplete();
    }
    if (self && d->socket)
        shutdownIfDrained();
}

// Raised from the event loop instead when it happens inside a call of ours into Qt: the owner
// closes the socket in its handlers, and Qt goes on using it once the call returns.
bool EventSocket::raisedLater(const std::function<void()> &event)
{
    if (d->callsIntoQt == 0)
        return false;
    QTimer::singleShot(0, this, [this, event, generation = d->generation] {
        if (generation == d->generation)
            event();
    });
    return true;
}

void EventSocket::onSocketError(int error)
{
    if (!d->socket || raisedLater([this, error] { onSocketError(error); }))
        return;
    const auto socketError = QAbstractSocket::SocketError(error);
    // Qt reports an orderly close of the peer this way too; it is only a loss, and so a reset,
    // when bytes of ours were still on their way.
    if (socketError == QAbstractSocket::RemoteHostClosedError && unsent(d->socket) == 0) {
        onPeerClosed();
        return;
    }
    if (d->state == sckError || d->closedRaised)
        return;
    if (!d->via.host.isEmpty() && !d->viaOpen) {
        proxyFailed(QStringLiteral("the upstream proxy %1 %2 (%3)")
                        .arg(d->via.name,
                            d->viaAwaiting ? QStringLiteral("failed before opening the tunnel")
                                           : QStringLiteral("cannot be reached"),
                            d->socket->errorString()));
        return;
    }
    d->state = sckError;
    if (d->tlsStarted && !d->encrypted) {
        QString reason = d->tlsErrors.isEmpty() ? d->socket->errorString() : d->tlsErrors;
        // TLS 1.3's certificate_required alert (RFC 8446 section 6.2), and 1.2's handshake failure
        // after a certificate request, mean the server wants a client certificate.
        if (reason.contains(QLatin1String("certificate required"), Qt::CaseInsensitive))
            reason = QStringLiteral("the server requires a client certificate (") + reason + QLatin1Char(')');
        QPointer<EventSocket> self(this);
        emit tlsFailed(reason);
        if (!self)
            return;
        raiseSocketError(sckTlsFailed, reason);
        return;
    }
    raiseSocketError(winsockNumber(socketError), d->socket->errorString());
}

void EventSocket::onPeerClosed()
{
    if (d->state == sckError || d->peerClosed || raisedLater([this] { onPeerClosed(); }))
        return;
    if (!d->via.host.isEmpty() && !d->viaOpen) {
        proxyFailed(QStringLiteral("the upstream proxy %1 closed the connection before opening the tunnel")
                        .arg(d->via.name));
        return;
    }
    d->peerClosed = true;
    pump();
}

void EventSocket::attachPipe(Pipe *pipe)
{
    Close();
    d->pipe = pipe;
    d->state = sckConnected;
}

void EventSocket::detachPipe()
{
    d->pipe = nullptr;
}

void EventSocket::pipeReceived(const QByteArray &data)
{
    if (!d->pipe || d->peerClosed || data.isEmpty())
        return;
    d->pipeIn += data;
    d->unannounced = true;
    pumpPipe();
}

void EventSocket::pipeDrained(qint64 bytesLeft)
{
    if (!d->pipe)
        return;
    QPointer<EventSocket> self(this);
    emit sendProgress(bytesLeft);
    if (self && d->pipe && d->sendPending && bytesLeft == 0) {
        d->sendPending = false;
        emit SendComplete();
    }
}

void EventSocket::pipeFinished()
{
    if (!d->pipe || d->peerClosed)
        return;
    d->peerClosed = true;
    pumpPipe();
}

// As pump, for a stream inside another connection.
void EventSocket::pumpPipe()
{
    if (d->readPaused || d->closedRaised)
        return;
    QPointer<EventSocket> self(this);
    if (d->unannounced && !d->pipeIn.isEmpty()) {
        d->unannounced = false;
        const quint64 generation = d->generation;
        emit DataArrival(qint32(qMin<qint64>(d->pipeIn.size(), std::numeric_limits<qint32>::max())));
        if (!self || !d->pipe || d->generation != generation)
            return;
        if (!d->pipeIn.isEmpty() && d->unannounced)
            schedulePump();
    }
    if (d->peerClosed && !d->closedRaised && d->pipeIn.isEmpty()) {
        d->closedRaised = true;
        d->state = sckClosing;
        emit Closed();
    }
}

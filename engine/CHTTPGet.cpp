#include "CHTTPGet.h"

#include "EventSocket.h"
#include "Http2Client.h"
#include "Http2Message.h"
#include "HttpTarget.h"
#include "ProgramValues.h"
#include "RecordWriter.h"
#include "UpstreamPool.h"

#include <QPointer>
#include <QTimer>

#include <limits>
#include <utility>

namespace {
const QString kHttpScheme = QStringLiteral("http://");

QString describeSocketError(qint16 number, const QString &description)
{
    switch (number) {
    case EventSocket::sckHostNotFound:
        return QStringLiteral("host not found");
    case EventSocket::sckConnectionRefused:
        return QStringLiteral("connection refused");
    case EventSocket::sckTimedOut:
        return QStringLiteral("connection timed out");
    case EventSocket::sckConnectionReset:
        return QStringLiteral("connection reset by the server");
    default:
        break;
    }
    return description.isEmpty() ? QStringLiteral("socket error %1").arg(number) : description;
}
QByteArray methodOf(const QByteArray &request)
{
    return request.left(request.indexOf(' ')).toUpper();
}

// A proxy reads the target in absolute form (RFC 9112 section 3.2.2), and the credentials meant
// for it in Proxy-Authorization.
QByteArray forProxy(
    const QByteArray &request, const QString &host, qint32 port, const QByteArray &authorization)
{
    const qsizetype methodEnd = request.indexOf(' ');
    const qsizetype lineEnd = request.indexOf("\r\n");
    if (methodEnd < 0 || lineEnd < methodEnd)
        return request;
    QByteArray target = "http://"
        + (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host).toLatin1();
    if (port != 80)
        target += ':' + QByteArray::number(port);
    QByteArray out = request;
    if (!authorization.isEmpty())
        out.insert(lineEnd + 2, "Proxy-Authorization: " + authorization + "\r\n");
    // "OPTIONS *" asks about the server as a whole: its absolute form has no path.
    if (out.mid(methodEnd + 1, 2) == "* ")
        out.remove(methodEnd + 1, 1);
    out.insert(methodEnd + 1, target);
    return out;
}
} // namespace

CHTTPGet::CHTTPGet(QObject *parent)
    : QObject(parent)
{
    adopt(new EventSocket(this));
    connect(RecordWriter::notifier(), &RecordWriterNotifier::drained, this, [this](const QString &path) {
        if (!m_writerPausedFor.isEmpty() && path == m_writerPausedFor) {
            m_writerPausedFor.clear();
            updateReadPause();
        }
    });
}

void CHTTPGet::adopt(EventSocket *socket)
{
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
    m_socket = socket;
    socket->setParent(this);
    connect(m_socket, &EventSocket::Connected, this, &CHTTPGet::Socket_Connect);
    connect(m_socket, &EventSocket::DataArrival, this, &CHTTPGet::Socket_DataArrival);
    connect(m_socket, &EventSocket::Closed, this, &CHTTPGet::Socket_Close);
    connect(m_socket, &EventSocket::Error, this,
        [this](qint16 Number, const QString &Description, qint32, const QString &, const QString &, qint32,
            bool *) { Socket_Error(Number, Description); });
    connect(m_socket, &EventSocket::SendComplete, this, &CHTTPGet::sendComplete);
    connect(m_socket, &EventSocket::sendProgress, this, &CHTTPGet::sendProgress);
    connect(m_socket, &EventSocket::encrypted, this, [this] {
        if (!m_tlsPending)
            return;
        m_tlsPending = false;
        Http2Client *session = m_socket->negotiatedProtocol() == "h2" ? takeSession() : nullptr;
        releaseClaim();
        // An exchange that asked for the connection during the handshake is served now.
        const bool waiting = !m_finished && m_reused;
        const quint64 exchange = m_exchange;
        m_reusable = m_finished && !session;
        QPointer<CHTTPGet> self(this);
        emit tlsReady(true, QString());
        if (!self || !waiting || exchange != m_exchange)
            return;
        if (session && m_upgradeAsked)
            openServer(); // on another connection, of HTTP/1.1
        else if (session)
            startStream(session);
        else
            Socket_Connect();
    });
    connect(m_socket, &EventSocket::tlsFailed, this, [this](const QString &reason) {
        if (!m_tlsPending)
            return;
        m_tlsPending = false;
        m_reusable = false;
        releaseClaim();
        emit tlsReady(false, reason);
    });
}

void CHTTPGet::setPool(UpstreamPool *pool)
{
    m_pool = pool;
}

void CHTTPGet::setUpstreamProxy(std::shared_ptr<const UpstreamProxy> upstream)
{
    m_upstream = std::move(upstream);
}

bool CHTTPGet::throughUpstream() const
{
    return m_upstream && m_upstream->usedFor(m_host);
}

EventSocket::Via CHTTPGet::route() const
{
    if (!throughUpstream())
        return {};
    return { m_upstream->host, m_upstream->port, m_upstream->name(), m_upstream->authorization(),
        m_secure || m_tunnel };
}

QString CHTTPGet::serverKey() const
{
    // Connections through an upstream proxy are kept apart from direct ones, and per proxy.
    const EventSocket::Via via = route();
    const QString prefix = via.host.isEmpty() ? QString() : QStringLiteral("via ") + via.name + u' ';
    return prefix + (m_secure ? QStringLiteral("https://") + m_peerName + u'@' : QStringLiteral("http://"))
        + m_host + u':' + QString::number(m_port);
}

void CHTTPGet::connectServer()
{
    m_openKey = serverKey();
    if (!m_secure)
        return m_socket->Connect(m_host, m_port, route());
    QSslConfiguration tls = m_tlsConfiguration;
    // HTTP/2 has no Upgrade: a request that asks for one (a WebSocket) needs a connection that
    // speaks HTTP/1.1, as browsers open for it.
    if (m_upgradeAsked)
        tls.setAllowedNextProtocols({ QByteArrayLiteral("http/1.1") });
    m_socket->ConnectEncrypted(m_host, m_port, m_peerName, tls, route());
}

CHTTPGet::~CHTTPGet()
{
    dropStream();
    releaseClaim();
    // A transfer cut off before its end leaves no reply record behind.
    if (!m_finished)
        discardPart();
}

void CHTTPGet::setResponseFile(const QString &Filename)
{
    m_responseFile = Filename;
}

QString CHTTPGet::ResponseFile() const
{
    return m_responseFile;
}

QString CHTTPGet::RemoteIP() const
{
    // The socket forgets its peer once closed; the history row still shows it afterwards.
    const QString ip = m_socket->RemoteHostIP();
    return ip.isEmpty() ? m_remoteIP : ip;
}

void CHTTPGet::setSendHeader(const QByteArray &Header)
{
    m_sendHeader = Header;
}

qint32 CHTTPGet::RequestID() const
{
    return m_requestID;
}

void CHTTPGet::setRequestID(qint32 ID)
{
    m_requestID = ID;
}

qint32 CHTTPGet::BufferSize() const
{
    return static_cast<qint32>(qMin<qint64>(m_received, std::numeric_limits<qint32>::max()));
}

QString CHTTPGet::Host() const
{
    return m_host;
}

QString CHTTPGet::URL() const
{
    return m_url;
}

qint32 CHTTPGet::ContentLength() const
{
    return 0;
}

QByteArray CHTTPGet::Header() const
{
    return {};
}

QByteArray CHTTPGet::Buffer() const
{
    return {};
}

bool CHTTPGet::Finished() const
{
    return m_finished;
}

EventSocket *CHTTPGet::socket() const
{
    return m_socket;
}

qint32 CHTTPGet::port() const
{
    return m_port;
}

int CHTTPGet::replyStatus() const
{
    return m_framing.status();
}

qint64 CHTTPGet::receivedBytes() const
{
    return m_received;
}

bool CHTTPGet::upgraded() const
{
    return m_upgraded;
}

bool CHTTPGet::finalReplyStarted() const
{
    return m_tunnel || m_upgraded || m_framing.finalHeaderSeen();
}

void CHTTPGet::setUpgradeAsked(bool asked)
{
    m_upgradeAsked = asked;
}

bool CHTTPGet::keptAlive() const
{
    return m_finished && !m_tunnel && !m_upgraded && m_framing.keepAlive();
}

bool CHTTPGet::relayPaused() const
{
    return m_relayPaused;
}

QString CHTTPGet::partFile() const
{
    return m_responseFile + QStringLiteral(".part");
}

CHTTPGet::Target CHTTPGet::parseURL(const QString &URL)
{
    // The same strict reading as the request parser's: a target it refused never gets here,
    // and anything else that cannot be read leaves the host empty.
    Target target;
    const QByteArray text = URL.toLatin1();
    const bool absolute = text.contains("://");
    const std::optional<HttpTarget> parsed = HttpTarget::fromUrl(absolute ? text : "http://" + text);
    target.url = absolute ? QString::fromLatin1(parsed && !parsed->path.isEmpty() ? parsed->path : "/") : URL;
    if (parsed) {
        target.host = parsed->host;
        target.port = parsed->port;
    } else {
        target.port = 0;
    }
    return target;
}

void CHTTPGet::setRecordDone(RecordWriter::Done done)
{
    m_recordDone = std::move(done);
}

void CHTTPGet::OpenURL(const QString &URL)
{
    const Target target = parseURL(URL);
    dropStream();
    ++m_exchange;
    m_finished = m_aborted = m_failed = m_partStarted = m_retried = m_recordKept = m_recordWritten = false;
    m_received = 0;
    m_held.clear();
    m_framing.start(methodOf(m_sendHeader) == "HEAD", m_upgradeAsked);
    m_verdict = ReplyFraming::Verdict::More;
    m_host = target.host;
    m_port = target.port;
    m_url = target.url;
    // The last server's address stays for its row only; a kept connection still knows its peer.
    m_remoteIP.clear();

    if (m_host.isEmpty()) {
        DebugTrace(QStringLiteral("No hostname passed to proxy"));
        m_socket->Close();
        failLater(QStringLiteral("no host name in the request"));
        return;
    }
    if (m_port < 1 || m_port > 65535) {
        m_socket->Close();
        failLater(QStringLiteral("port %1 out of range").arg(m_port));
        return;
    }
    openServer();
}

void CHTTPGet::openServer()
{
    if (m_secure && !m_tunnel && !m_upgradeAsked && openStream())
        return;
    const bool sameServer = serverKey() == m_openKey;
    m_reused = sameServer && (m_reusable || m_tlsPending) && !m_tunnel
        && m_socket->State() == EventSocket::sckConnected;
    m_reusable = false;
    if (!m_reused && !m_tunnel && m_pool) {
        if (EventSocket *kept = m_pool->take(serverKey())) {
            EventSocket *old = m_socket;
            adopt(kept);
            m_openKey = serverKey();
            old->Close();
            old->deleteLater();
            updateReadPause();
            m_reused = true;
        }
    }
    if (m_reused && m_tlsPending)
        return; // served once the handshake under way is over
    if (m_reused) {
        // Raised from the event loop, as for a new connection: the owner is still in OpenURL.
        QTimer::singleShot(0, this, [this, exchange = m_exchange] {
            if (exchange == m_exchange && !m_aborted && !m_failed)
                Socket_Connect();
        });
        return;
    }
    m_socket->Close();
    connectServer();
}

void CHTTPGet::startTls(const QString &peerName, const QSslConfiguration &configuration)
{
    m_secure = true;
    m_peerName = peerName;
    m_tlsConfiguration = configuration;
    // The tunnel's exchange ends here: the connection now waits for the requests inside.
    m_tunnel = false;
    m_finished = true;
    m_reusable = false;
    m_tlsPending = true;
    m_openKey = serverKey();
    discardPart();
    m_socket->startClientTls(peerName, configuration);
}

void CHTTPGet::setSecure(const QString &peerName, const QSslConfiguration &configuration)
{
    m_secure = !peerName.isEmpty();
    m_peerName = peerName;
    m_tlsConfiguration = configuration;
}

QString CHTTPGet::tlsSummary() const
{
    QString summary = m_socket->isEncrypted() || m_lastTls.isEmpty() ? m_socket->tlsSummary() : m_lastTls;
    // Every TLS connection offers h2 and http/1.1; a server that names neither speaks HTTP/1.1.
    if (m_secure)
        summary.replace(QStringLiteral("ALPN: (none)"), QStringLiteral("ALPN: http/1.1"));
    return summary;
}

void CHTTPGet::releaseToPool()
{
    if (!m_pool || !m_secure || !m_finished || m_tlsPending || m_tunnel || m_upgraded || !m_reusable
        || !m_socket->isEncrypted() || m_socket->State() != EventSocket::sckConnected)
        return;
    m_lastTls = m_socket->tlsSummary();
    EventSocket *kept = m_socket;
    adopt(new EventSocket(this));
    m_pool->give(m_openKey, kept);
    m_reusable = false;
}

bool CHTTPGet::openStream()
{
    const QString key = serverKey();
    Http2Client *session = nullptr;
    if (m_session && m_sessionKey == key && m_session->hasRoom())
        session = m_session;
    else if (m_pool)
        session = m_pool->session(key);
    if (session) {
        m_reused = true;
        startStream(session);
        return true;
    }
    if (!m_pool || !m_pool->speaksHttp2(key))
        return false;
    const bool own = m_pool->claimConnect(key, this, [this, exchange = m_exchange] {
        if (exchange == m_exchange && !m_aborted && !m_failed && !m_finished)
            openServer();
    });
    if (!own)
        return true;
    m_claim = key;
    return false;
}

void CHTTPGet::releaseClaim()
{
    if (!m_claim.isEmpty() && m_pool)
        m_pool->connectDone(std::exchange(m_claim, {}));
}

Http2Client *CHTTPGet::takeSession()
{
    m_lastTls = m_socket->tlsSummary();
    m_remoteIP = m_socket->RemoteHostIP();
    EventSocket *socket = m_socket;
    adopt(new EventSocket(this));
    updateReadPause();
    m_reusable = false;
    auto *session = new Http2Client(socket, this);
    // An exchange already on another session's stream keeps it.
    if (!m_stream) {
        m_session = session;
        m_sessionKey = m_openKey;
    }
    if (m_pool)
        m_pool->giveSession(m_openKey, session);
    return session;
}

void CHTTPGet::startStream(Http2Client *session)
{
    QString why;
    const std::optional<Http2Message::Request> request = Http2Message::fromHttp11Request(m_sendHeader, &why);
    if (!request) {
        failLater(why);
        return;
    }
    m_session = session;
    m_sessionKey = serverKey();
    m_lastTls = session->tlsSummary();
    m_remoteIP = session->remoteIP();
    m_stream = session->submit(*request, this, &why);
    if (m_stream < 0) {
        m_stream = 0;
        failLater(why);
        return;
    }
    updateReadPause();
    // Raised from the event loop, as for a new connection: the owner may still be in OpenURL.
    QTimer::singleShot(0, this, [this, exchange = m_exchange] {
        if (exchange == m_exchange && !m_aborted && !m_failed)
            emit Connected();
    });
}

void CHTTPGet::dropStream()
{
    if (m_session && m_stream)
        m_session->cancel(m_stream);
    m_stream = 0;
}

void CHTTPGet::streamHead(int status, const Http2Message::Fields &fields)
{
    passOn(Http2Message::replyHead(status, fields),
        Http2Message::http11ReplyHead(status, fields, methodOf(m_sendHeader) == "HEAD", m_chunked));
}

void CHTTPGet::streamData(const QByteArray &data)
{
    passOn(data, m_chunked ? Http2Message::chunk(data) : data);
}

void CHTTPGet::streamEnd()
{
    m_stream = 0;
    QPointer<CHTTPGet> self(this);
    const quint64 exchange = m_exchange;
    if (m_chunked)
        passOn({}, Http2Message::chunk({}));
    if (!self || exchange != m_exchange || m_aborted || m_failed)
        return;
    if (m_verdict == ReplyFraming::Verdict::Complete)
        complete();
    else
        serverGone(QStringLiteral("the server ended the stream before the reply was complete"), true);
}

void CHTTPGet::streamFailed(const QString &reason, bool unprocessed)
{
    m_stream = 0;
    // Refused before the server acted on it: sent once more, on a connection of its own.
    if (unprocessed && m_received == 0 && !m_retried) {
        m_retried = true;
        m_reused = false;
        m_socket->Close();
        connectServer();
        return;
    }
    serverGone(reason, true);
}

void CHTTPGet::passOn(const QByteArray &record, const QByteArray &browser)
{
    if (!record.isEmpty()) {
        RecordWriter &writer = RecordWriter::instance();
        writer.append(partFile(), record);
        m_partStarted = true;
        m_received += record.size();
        if (writer.shouldPause(partFile())) {
            m_writerPausedFor = partFile();
            updateReadPause();
        }
    }
    if (browser.isEmpty())
        return;
    // The re-framed reply goes through the same framing as any server's, which keeps status,
    // keep-alive and the end of the reply as the owner asks for them.
    qsizetype used = 0;
    m_verdict = m_framing.feed(browser, used);
    if (m_verdict == ReplyFraming::Verdict::Invalid) {
        serverGone(m_framing.error(), true);
        return;
    }
    emit DataReceived(browser, static_cast<qint32>(browser.size()), 0);
}

void CHTTPGet::sendUpstream(const QByteArray &data)
{
    if (!m_aborted && !m_finished && !data.isEmpty())
        m_socket->SendData(data);
}

void CHTTPGet::setTunnel(bool tunnel)
{
    m_tunnel = tunnel;
}

void CHTTPGet::setRelayPaused(bool paused)
{
    m_relayPaused = paused;
    updateReadPause();
}

void CHTTPGet::updateReadPause()
{
    const bool paused = m_relayPaused || !m_writerPausedFor.isEmpty();
    m_socket->setReadPaused(paused);
    if (m_session && m_stream)
        m_session->setPaused(m_stream, paused);
}

void CHTTPGet::Socket_Connect()
{
    Http2Client *session
        = m_secure && !m_tunnel && m_socket->negotiatedProtocol() == "h2" ? takeSession() : nullptr;
    releaseClaim();
    // A handshake finished with no exchange waiting for the connection.
    if (m_aborted || m_failed || m_finished)
        return;
    if (session) {
        startStream(session);
        return;
    }
    m_remoteIP = m_socket->RemoteHostIP();
    QPointer<CHTTPGet> self(this);
    const quint64 exchange = m_exchange;
    emit Connected();
    if (!self || exchange != m_exchange || m_aborted || m_finished)
        return;
    const EventSocket::Via via = route();
    if (!m_sendHeader.isEmpty() && !via.host.isEmpty() && !via.tunnel)
        m_socket->SendData(forProxy(m_sendHeader, m_host, m_port, via.authorization));
    else if (!m_sendHeader.isEmpty())
        m_socket->SendData(m_sendHeader);
    DebugTrace(QStringLiteral("Connected to web #") + QString::number(m_requestID) + QStringLiteral(" - ")
        + m_host + QStringLiteral(" - ") + m_url);
}

void CHTTPGet::Socket_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    if (m_aborted || m_failed)
        return;
    QByteArray chunk;
    m_socket->GetData(chunk);
    if (chunk.isEmpty())
        return;
    if (m_finished) {
        // Bytes nobody asked for: the connection can no longer be trusted to frame a reply.
        m_reusable = false;
        m_socket->Close();
        return;
    }
    takeReply(std::move(chunk));
}

void CHTTPGet::takeReply(QByteArray chunk)
{
    const bool relay = m_tunnel || m_upgraded;
    ReplyFraming::Verdict verdict = ReplyFraming::Verdict::More;
    qsizetype used = chunk.size();
    if (!relay) {
        verdict = m_framing.feed(chunk, used);
        // What follows the end of a reply before the next request was sent is not a reply; what
        // follows a 101 is the new protocol's, and what follows a bad reply is recorded with it.
        if (verdict == ReplyFraming::Verdict::Complete && m_framing.upgraded())
            used = chunk.size();
        else if (verdict == ReplyFraming::Verdict::Complete && used < chunk.size()) {
            chunk.truncate(used);
            m_socket->Close();
        }
    }
    // A 407 on a plain request is the upstream proxy's own: the browser never asked it.
    if (!relay && verdict != ReplyFraming::Verdict::Invalid && m_framing.finalHeaderSeen()
        && m_framing.status() == 407) {
        const EventSocket::Via via = route();
        if (!via.host.isEmpty()) {
            failLater(EventSocket::credentialsRefused(via));
            return;
        }
    }
    if (!chunk.isEmpty()) {
        RecordWriter &writer = RecordWriter::instance();
        // A reply that came whole in one read is written once, under its own name.
        const bool whole
            = !relay && !m_partStarted && verdict == ReplyFraming::Verdict::Complete && !m_framing.upgraded();
        const QString file = whole ? m_responseFile : partFile();
        if (whole) {
            writer.write(file, chunk, std::exchange(m_recordDone, {}));
            m_recordWritten = true;
        } else {
            writer.append(file, chunk);
            m_partStarted = true;
        }
        m_received += chunk.size();
        if (writer.shouldPause(file)) {
            // Until this file drains, even when the reply ends meanwhile and the next one reads
            // into another.
            m_writerPausedFor = file;
            updateReadPause();
        }
    }
    // A header is held back until it has ended and been accepted, so that a reply whose final
    // header is bad can still be answered with a clean 502.
    const qsizetype hold = relay ? 0 : m_framing.unsettled();
    QByteArray out;
    if (m_held.isEmpty() && hold == 0) {
        out = used == chunk.size() ? chunk : chunk.first(used);
    } else {
        m_held += QByteArrayView(chunk).first(used);
        out = m_held.first(m_held.size() - hold);
        m_held.remove(0, out.size());
    }
    if (!out.isEmpty()) {
        QPointer<CHTTPGet> self(this);
        const quint64 exchange = m_exchange;
        emit DataReceived(out, static_cast<qint32>(out.size()), 0);
        if (!self || exchange != m_exchange || m_aborted || m_failed)
            return;
    }
    if (verdict == ReplyFraming::Verdict::Invalid) {
        serverGone(m_framing.error(), true);
    } else if (verdict == ReplyFraming::Verdict::Complete) {
        if (m_framing.upgraded()) {
            m_upgraded = true;
            emit Upgraded();
        } else {
            complete();
        }
    }
}

void CHTTPGet::complete()
{
    m_finished = true;
    m_reusable
        = !m_tunnel && !m_upgraded && m_framing.keepAlive() && m_socket->State() == EventSocket::sckConnected;
    if (!m_reusable)
        m_socket->Close();
    else if (m_pool) {
        // Kept for whichever exchange of this thread next wants the server, this one's browser
        // connection most likely.
        EventSocket *kept = m_socket;
        adopt(new EventSocket(this));
        m_pool->give(serverKey(), kept);
        m_reusable = false;
    }
    m_partStarted = false;
    if (!std::exchange(m_recordWritten, false))
        RecordWriter::instance().finish(partFile(), m_responseFile, std::exchange(m_recordDone, {}));
    emit TransferCompleted(QByteArray(), QByteArray(), 0, BufferSize());
}

void CHTTPGet::FileCompleted()
{
    if (m_finished || m_aborted || m_failed)
        return;
    m_reusable = false;
    m_socket->Close();
    complete();
}

void CHTTPGet::Socket_Close()
{
    if (m_aborted || m_failed)
        return;
    if (m_finished) {
        m_reusable = false;
        return;
    }
    if (m_tunnel || m_upgraded || m_framing.closed() == ReplyFraming::Verdict::Complete) {
        complete();
        return;
    }
    serverGone(m_received == 0 ? QStringLiteral("the server closed the connection without a reply")
                               : m_framing.error(),
        true);
}

void CHTTPGet::Socket_Error(qint16 Number, const QString &Description)
{
    if (m_aborted || m_failed)
        return;
    if (m_finished) {
        m_reusable = false;
        return;
    }
    serverGone(describeSocketError(Number, Description));
}

void CHTTPGet::serverGone(const QString &reason, bool keepRecord)
{
    // A kept-alive connection the server timed out between requests: the request is sent again
    // once on a new connection when repeating it does no harm (RFC 9110 section 9.2.2).
    static const QList<QByteArray> idempotent = { "GET", "HEAD", "OPTIONS" };
    dropStream();
    releaseClaim();
    if (m_received == 0 && m_reused && !m_retried && idempotent.contains(methodOf(m_sendHeader))) {
        m_retried = true;
        m_reused = false;
        m_socket->Close();
        connectServer();
        return;
    }
    // Nothing of the reply has been passed on: the browser can still be answered.
    if ((m_tunnel && m_received == 0) || !finalReplyStarted()) {
        failLater(reason, keepRecord);
        return;
    }
    m_failed = true;
    m_reusable = false;
    m_socket->Close();
    endPart(keepRecord);
    emit brokenOff(reason);
}

void CHTTPGet::failLater(const QString &reason, bool keepRecord)
{
    m_failed = true;
    m_reusable = false;
    dropStream();
    releaseClaim();
    m_socket->Close();
    endPart(keepRecord);
    // Raised from the event loop: the owner may still be inside OpenURL when the failure is known.
    QTimer::singleShot(0, this, [this, reason, exchange = m_exchange] {
        if (!m_aborted && exchange == m_exchange)
            emit failed(m_host, reason);
    });
}

void CHTTPGet::abort()
{
    if (m_aborted)
        return;
    m_aborted = true;
    m_reusable = false;
    dropStream();
    releaseClaim();
    m_socket->Close();
    if (!m_finished)
        discardPart();
}

void CHTTPGet::discardRecord()
{
    const bool finished = m_finished;
    abort();
    discardPart();
    if (finished || m_recordKept)
        RecordWriter::instance().remove(m_responseFile);
}

void CHTTPGet::endPart(bool keep)
{
    // A reply that went wrong is kept as it came, to show what the server sent.
    if (!keep || !m_partStarted)
        return discardPart();
    m_partStarted = false;
    m_recordKept = true;
    RecordWriter::instance().finish(partFile(), m_responseFile);
}

void CHTTPGet::discardPart()
{
    if (m_partStarted) {
        m_partStarted = false;
        RecordWriter::instance().remove(partFile());
    }
}

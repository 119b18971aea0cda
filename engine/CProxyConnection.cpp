#include "CProxyConnection.h"

#include "Breakpoints.h"
#include "CExchange.h"
#include "CHTTPGet.h"
#include "CRequest.h"
#include "CertificateAuthority.h"
#include "Clock.h"
#include "CrossThread.h"
#include "EventSocket.h"
#include "HopByHop.h"
#include "Http2Frontend.h"
#include "Http2Message.h"
#include "HttpsDecryption.h"
#include "IHistoryList.h"
#include "IProxyShell.h"
#include "MessageHead.h"
#include "ProgramValues.h"
#include "RecordWriter.h"
#include "TlsInterceptor.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");

QString reasonPhrase(int code)
{
    switch (code) {
    case 400:
        return QStringLiteral("Bad Request");
    case 408:
        return QStringLiteral("Request Timeout");
    case 411:
        return QStringLiteral("Length Required");
    case 413:
        return QStringLiteral("Content Too Large");
    case 431:
        return QStringLiteral("Request Header Fields Too Large");
    case 501:
        return QStringLiteral("Not Implemented");
    case 502:
        return QStringLiteral("Bad Gateway");
    case 503:
        return QStringLiteral("Service Unavailable");
    case 504:
        return QStringLiteral("Gateway Timeout");
    case 505:
        return QStringLiteral("HTTP Version Not Supported");
    case 508:
        return QStringLiteral("Loop Detected");
    default:
        return QStringLiteral("Internal Server Error");
    }
}

// Fields that only concern one connection, and those a Connection field names. The framing fields
// and Host are never taken out on a Connection field's word: the server must read the same
// request. Transfer-Encoding is hop-by-hop too, but the body goes on in the coding the browser
// sent it in, so the server must still be told of that coding.
bool isHopByHop(const QByteArray &name, const QList<QByteArray> &named, bool upgrade)
{
    static const QList<QByteArray> kept = { "content-length", "transfer-encoding", "host" };
    if (kept.contains(name) || (upgrade && name == "upgrade"))
        return false;
    return HopByHop::contains(name) || named.contains(name);
}

// True when host and port name this proxy's own listening socket: a request there would make
// the proxy connect to itself again and again.
bool isOwnEndpoint(const QString &host, qint32 port, const CProxyServer *server)
{
    if (!server || port != server->Port())
        return false;
    QHostAddress address(host);
    if (address.isNull())
        return false;
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    return address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv4)
        || address == QHostAddress(QHostAddress::AnyIPv6) || address == QHostAddress(server->IP())
        || QNetworkInterface::allAddresses().contains(address);
}
} // namespace

// Runs a handler with a reference that keeps this object alive even when the handler makes the
// server drop it, and keeps any failure inside it from reaching the event loop.
template <typename F> void CProxyConnection::guarded(F &&body)
{
    const std::shared_ptr<CProxyConnection> guard = weak_from_this().lock();
    try {
        body();
    } catch (const std::exception &e) {
        internalFailure(QString::fromLocal8Bit(e.what()));
    }
}

CProxyConnection::CProxyConnection(QObject *parent)
    : QObject(parent)
    , m_socket(new EventSocket(this))
    , m_browser(new CHTTPGet(this))
    , m_relay(new TunnelRelay(m_socket, m_browser, this))
    , m_tls(new TlsInterceptor(m_socket, m_browser, this))
{
    connect(m_socket, &EventSocket::peerFinished, this, &CProxyConnection::Socket_PeerFinished);
    connect(m_socket, &EventSocket::DataArrival, this, &CProxyConnection::Socket_DataArrival);
    // A browser that has sent its request and then its end of stream still wants the reply.
    connect(m_socket, &EventSocket::DataArrival, this, [this] {
        if (m_phase == Phase::Forwarding || m_phase == Phase::Held)
            m_socket->allowHalfClose();
    });
    connect(m_socket, &EventSocket::SendComplete, this, &CProxyConnection::Socket_SendComplete);
    connect(m_socket, &EventSocket::sendProgress, this, &CProxyConnection::Socket_SendProgress);
    connect(m_socket, &EventSocket::Closed, this, &CProxyConnection::Socket_Close);
    connect(m_socket, &EventSocket::Error, this,
        [this](qint16 Number, const QString &Description, qint32, const QString &, const QString &, qint32,
            bool *) { Socket_Error(Number, Description); });
    connect(m_browser, &CHTTPGet::Connected, this, &CProxyConnection::Browser_Connected);
    connect(m_browser, &CHTTPGet::DataReceived, this, &CProxyConnection::Browser_DataReceived);
    connect(m_browser, &CHTTPGet::TransferCompleted, this, &CProxyConnection::Browser_TransferCompleted);
    connect(m_browser, &CHTTPGet::failed, this, &CProxyConnection::Browser_Failed);
    connect(m_browser, &CHTTPGet::brokenOff, this, &CProxyConnection::Browser_BrokenOff);
    connect(m_browser, &CHTTPGet::Upgraded, this, &CProxyConnection::Browser_Upgraded);
    connect(m_tls, &TlsInterceptor::log, this, &CProxyConnection::Interceptor_Log);
    connect(m_tls, &TlsInterceptor::browserFailed, this, &CProxyConnection::Interceptor_BrowserFailed);
    connect(m_tls, &TlsInterceptor::ready, this, &CProxyConnection::Interceptor_Ready);
    // Relay uploads: hold the browser back while the web server is slow to take its bytes.
    connect(m_browser, &CHTTPGet::sendProgress, this, [this](qint64 bytesLeft) {
        guarded([&] {
            UpdateTimeout();
            m_relay->serverDrained(bytesLeft);
        });
    });
    connect(
        m_browser, &CHTTPGet::sendComplete, this, [this] { guarded([&] { m_relay->serverDrained(0); }); });
}

std::shared_ptr<CProxyConnection> CProxyConnection::create()
{
    return std::shared_ptr<CProxyConnection>(
        new CProxyConnection, [](CProxyConnection *c) { c->deleteLater(); });
}

CProxyConnection::~CProxyConnection()
{
    // The relays first, as they use both sockets; then the browser's socket, the exchanges and
    // the fetcher, as they were made.
    delete m_tls;
    m_tls = nullptr;
    delete m_relay;
    m_relay = nullptr;
    delete m_socket;
    m_socket = nullptr;
    m_queue.clear();
    m_receiving.reset();
    m_last.reset();
    delete m_browser;
    m_browser = nullptr;
}

CExchange *CProxyConnection::current() const
{
    if (!m_queue.empty())
        return m_queue.front().get();
    return m_receiving ? m_receiving.get() : m_last.get();
}

CHTTPGet *CProxyConnection::HTTPGet() const
{
    return m_browser;
}

void CProxyConnection::setStamp(quint64 NewStamp)
{
    if (CExchange *exchange = current())
        exchange->setStamp(NewStamp);
}

quint64 CProxyConnection::stamp() const
{
    const CExchange *exchange = current();
    return exchange ? exchange->stamp : 0;
}

QString CProxyConnection::URL() const
{
    const CExchange *exchange = current();
    return exchange ? exchange->request().page() : QString();
}

QString CProxyConnection::RequestDesc() const
{
    const CExchange *exchange = current();
    const QString word = exchange ? exchange->methodWord() : QString();
    return word.isEmpty() ? QStringLiteral("?") : word;
}

qint32 CProxyConnection::RequestLength() const
{
    const CExchange *exchange = current();
    return exchange ? static_cast<qint32>(exchange->request().Request().size()) : 0;
}

QString CProxyConnection::RemoteHost() const
{
    return m_socket->RemoteHost();
}

qint32 CProxyConnection::RequestID() const
{
    return m_requestID;
}

QString CProxyConnection::RemoteIP() const
{
    const QString ip = m_socket->RemoteHostIP();
    return ip.isEmpty() ? m_browserIP : ip;
}

QString CProxyConnection::RequestFilePath() const
{
    const CExchange *exchange = current();
    return exchange ? exchange->RequestFilePath() : QString();
}

QString CProxyConnection::ResponseFilePath() const
{
    const CExchange *exchange = current();
    return exchange ? exchange->ResponseFilePath() : QString();
}

EventSocket *CProxyConnection::socket() const
{
    return m_socket;
}

CRequest *CProxyConnection::request() const
{
    CExchange *exchange = current();
    return exchange ? &exchange->request() : nullptr;
}

QString CProxyConnection::recordName() const
{
    const CExchange *exchange = current();
    return exchange ? exchange->recordName() : QString();
}

bool CProxyConnection::TransferDone() const
{
    const CExchange *exchange = current();
    return exchange && exchange->transferDone;
}

qint64 CProxyConnection::peakQueuedToBrowser() const
{
    return m_peakQueued;
}

int CProxyConnection::readPauses() const
{
    return m_readPauses + m_relay->readPauses();
}

QString CProxyConnection::logPrefix() const
{
    return RemoteIP() + QStringLiteral(" - ") + QString::number(m_requestID);
}

void CProxyConnection::UpdateTimeout()
{
    m_lastActivity = Clock::now();
    const QTime t = m_lastActivity.time();
    m_lastActivity.setTime(QTime(t.hour(), t.minute(), t.second()));
}

void CProxyConnection::Attach(qint32 RequestID, CProxyServer *Server)
{
    m_requestID = RequestID;
    m_socket->Accept(RequestID);
    attached(Server);
}

void CProxyConnection::Attach(qint32 RequestID, CProxyServer *Server, const EventSocket::Handoff &handoff)
{
    m_requestID = RequestID;
    m_socket->Accept(handoff);
    attached(Server);
}

void CProxyConnection::startResend(
    qint32 RequestID, CProxyServer *Server, const QList<CProxyServer::ResendItem> &items)
{
    m_requestID = RequestID;
    attached(Server);
    m_resend = true;
    m_browserIP = QStringLiteral("resend");
    m_resendItems.assign(items.begin(), items.end());
    resendNext();
}

bool CProxyConnection::resendNext()
{
    if (m_resendItems.empty())
        return false;
    m_phase = Phase::Receiving;
    // Begun from the event loop: the request before may have ended inside the fetcher's handler.
    QTimer::singleShot(0, this, [this] {
        guarded([&] {
            if (m_phase != Phase::Receiving || m_resendItems.empty())
                return;
            const CProxyServer::ResendItem item = m_resendItems.front();
            m_resendItems.pop_front();
            m_closeAfter = m_resendItems.empty();
            m_resendOrigin.reset();
            if (item.origin.secure)
                m_resendOrigin = item.origin;
            m_browser->setSecure(item.origin.secure ? item.origin.host : QString(),
                TlsInterceptor::serverConfiguration(m_server ? m_server->httpsDecryption() : nullptr));
            // A request that came over HTTP/2 is recorded as its rendering; it goes again as
            // the HTTP/1.1 request the server got.
            feedRequests(Http2Message::asHttp11Request(item.message, item.origin.authority));
        });
    });
    return true;
}

void CProxyConnection::attachStream(qint32 RequestID, CProxyServer *Server, EventSocket::Pipe *pipe,
    const HttpTarget &origin, const QByteArray &recordHead, std::function<void()> ended)
{
    m_requestID = RequestID;
    m_socket->attachPipe(pipe);
    attached(Server);
    m_streamOrigin = origin;
    m_streamRecordHead = recordHead;
    m_streamEnded = std::move(ended);
    // One request per stream; the server connection is kept all the same.
    m_closeAfter = true;
    m_browser->setSecure(
        origin.host, TlsInterceptor::serverConfiguration(m_server ? m_server->httpsDecryption() : nullptr));
}

std::optional<HttpTarget> CProxyConnection::decryptedOrigin() const
{
    if (m_resendOrigin)
        return m_resendOrigin;
    if (m_streamOrigin)
        return m_streamOrigin;
    return m_tls->origin();
}

void CProxyConnection::leave()
{
    if (m_streamEnded) {
        std::exchange(m_streamEnded, nullptr)();
        return;
    }
    if (m_server)
        m_server->RemoveRequest(m_requestID);
}

void CProxyConnection::startHttp2()
{
    m_h2 = new Http2Frontend(
        m_socket, [this](EventSocket::Pipe *pipe, const QByteArray &head) { return openStream(pipe, head); },
        this);
    connect(m_h2, &Http2Frontend::log, this, [this](const QString &text) {
        if (m_server)
            m_server->AddLog(logPrefix() + QStringLiteral(" - ") + text);
    });
    connect(m_h2, &Http2Frontend::finished, this, [this] { guarded([&] { http2Ended(); }); });
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - HTTP/2 with the browser"));
}

EventSocket *CProxyConnection::openStream(EventSocket::Pipe *pipe, const QByteArray &recordHead)
{
    const std::optional<HttpTarget> origin = m_tls->origin();
    if (!origin || m_phase == Phase::Ended || !m_server)
        return nullptr;
    const auto stream = create();
    m_streams.push_back(stream);
    CProxyConnection *raw = stream.get();
    stream->attachStream(m_requestID, m_server, pipe, *origin, recordHead, [weak = weak_from_this(), raw] {
        const auto self = weak.lock();
        if (!self)
            return;
        // The stream's connection may be running the handler that ended it; its deleter waits.
        const auto it = std::find_if(self->m_streams.begin(), self->m_streams.end(),
            [raw](const auto &stream) { return stream.get() == raw; });
        if (it != self->m_streams.end())
            self->m_streams.erase(it);
        self->leaveOnceStreamsEnded();
    });
    return stream->socket();
}

// The session is over: the browser's connection closes once the streams' exchanges have ended.
void CProxyConnection::http2Ended()
{
    if (m_phase == Phase::Ended)
        return;
    m_phase = Phase::Ended;
    m_socket->Close();
    m_browser->abort();
    if (m_h2)
        m_h2->browserGone();
    leaveOnceStreamsEnded();
}

void CProxyConnection::leaveOnceStreamsEnded()
{
    if (m_phase == Phase::Ended && m_streams.empty() && m_h2)
        leave();
}

void CProxyConnection::customEvent(QEvent *event)
{
    CrossThread::deliver(event);
}

void CProxyConnection::attached(CProxyServer *Server)
{
    m_browserIP = m_socket->RemoteHostIP();
    m_server = Server;
    m_browser->setPool(Server ? Server->upstreamPool() : nullptr);
    UpdateTimeout();
}

void CProxyConnection::CheckTimeout()
{
    guarded([&] {
        if (m_h2) {
            for (const auto &stream : std::vector(m_streams))
                stream->CheckTimeout();
            if (m_phase == Phase::Ended || !m_server)
                return;
            // A browser with streams open is busy, however long their servers take.
            if (!m_streams.empty())
                UpdateTimeout();
            else if (m_lastActivity.secsTo(Clock::now()) > m_server->Timeout())
                m_h2->goAway();
            return;
        }
        if (m_phase == Phase::Ended || !m_server)
            return;
        const QDateTime now = Clock::now();
        // A held exchange waits for the user, not for the browser or the server; one left alone
        // goes on as it was.
        if (m_phase == Phase::Held) {
            if (m_hold && m_hold->since.msecsTo(now) >= CProxyServer::HoldLimitMs) {
                m_server->AddLog(logPrefix() + QStringLiteral(" - Held for 5 minutes: continued unchanged"));
                resume({}, QStringLiteral("continued after 5 minutes"));
            }
            return;
        }
        const QTime t = now.time();
        const QDateTime nowSeconds(now.date(), QTime(t.hour(), t.minute(), t.second()));
        const qint64 elapsed = m_lastActivity.secsTo(nowSeconds);
        if (m_phase == Phase::Receiving && m_queue.empty() && m_receiving
            && m_receiving->firstByteAt.isValid() && m_receiving->firstByteAt.msecsTo(now) >= HeaderDeadlineMs
            && m_receiving->request().HeaderLength() == 0) {
            refuse(408, QStringLiteral("Request header not received in time"));
            return;
        }
        if (elapsed <= m_server->Timeout())
            return;
        if (m_phase == Phase::Forwarding && !m_relay->isActive() && m_upstreamConnected
            && m_browser->receivedBytes() == 0 && !m_sentToBrowser) {
            // The server took the request and said nothing: the browser is told, not dropped.
            m_server->AddLog(logPrefix() + QStringLiteral(" - Gateway Timeout: ") + m_browser->Host());
            report(errorReport(QStringLiteral("ERROR")));
            answerAndClose(504,
                QStringLiteral("%1 sent no reply within %2 seconds.\r\n")
                    .arg(m_browser->Host())
                    .arg(m_server->Timeout()));
            return;
        }
        m_phase = Phase::Ended;
        m_socket->Close();
        m_browser->abort();
        DebugTrace(QStringLiteral("Timeout on ") + QString::number(m_requestID));
        leave();
    });
}

void CProxyConnection::Shutdown()
{
    // The server is going: nobody is left to tell of a held exchange.
    m_hold.reset();
    if (m_graceTimer)
        m_graceTimer->stop();
    m_phase = Phase::Ended;
    for (const auto &stream : std::exchange(m_streams, {}))
        stream->Shutdown();
    m_socket->Close();
    m_browser->abort();
    dropOrphanRecords();
    m_server = nullptr;
}

void CProxyConnection::dropOrphanRecords()
{
    if (!m_server || !m_server->historyList())
        return;
    for (const auto &stream : m_streams)
        stream->dropOrphanRecords();
    RecordWriter &writer = RecordWriter::instance();
    for (const auto &exchange : exchanges()) {
        if (exchange->keepsRecords())
            continue;
        writer.remove(exchange->RequestFilePath());
        if (!m_queue.empty() && exchange == m_queue.front() && !exchange->transferDone)
            m_browser->discardRecord();
        else if (exchange->forwarded)
            writer.remove(exchange->ResponseFilePath());
        if (exchange->editedReplyLength)
            writer.remove(exchange->OriginalReplyFilePath());
    }
}

void CProxyConnection::Send(const QByteArray &msg)
{
    // The socket queues what is sent while an earlier send is still going out, in order; nothing
    // here waits for it.
    guarded([&] {
        if (!m_server)
            return;
        if (m_socket->State() == EventSocket::sckConnected) {
            m_socket->SendData(msg);
            m_sentToBrowser = true;
            m_server->AddLog(logPrefix() + QStringLiteral(" - Sending back to browser."));
        } else {
            m_server->AddLog(logPrefix() + QStringLiteral(" - Error Sending back to browser."));
        }
    });
}

std::vector<std::shared_ptr<CExchange>> CProxyConnection::exchanges() const
{
    std::vector<std::shared_ptr<CExchange>> all(m_queue.begin(), m_queue.end());
    for (const auto &exchange : { m_receiving, m_last })
        if (exchange)
            all.push_back(exchange);
    return all;
}

void CProxyConnection::SetupStamp(const CProxyServer::RowReport &row)
{
    CExchange *exchange = m_queue.empty() ? nullptr : m_queue.back().get();
    if (exchange && m_server && m_server->historyList()) {
        // Known to the exchange before the window can see the row, and so remove it.
        exchange->setStamp(m_server->nextExchangeID());
        m_server->AddItem(exchange->stamp, row);
    }
}

void CProxyConnection::report(const CProxyServer::RowReport &row)
{
    if (!m_queue.empty())
        m_queue.front()->report(m_server, row);
}

// The report of an exchange that ended in a failure fills only these columns.
CProxyServer::RowReport CProxyConnection::errorReport(const QString &status) const
{
    CProxyServer::RowReport row;
    row.Desc = RequestDesc();
    row.ResponseFile = ResponseFilePath();
    row.Status = status;
    if (m_browser->replyStatus() > 0)
        row.Code = m_browser->replyStatus();
    return row;
}

CProxyServer::RowReport CProxyConnection::fullReport(const QString &status) const
{
    const CExchange *exchange = current();
    CProxyServer::RowReport row;
    row.Host = m_browser->Host();
    row.IP = m_browser->RemoteIP();
    row.Desc = RequestDesc();
    // The target's bytes are kept one character per byte; browsers send UTF-8.
    const QByteArray url = URL().toLatin1();
    row.URL = QUtf8StringView(url).isValidUtf8() ? QString::fromUtf8(url) : URL();
    row.RequestLength = RequestLength();
    row.ResponseLength = static_cast<double>(m_browser->receivedBytes());
    row.RequestFile = exchange ? exchange->request().RequestFile() : QString();
    row.ResponseFile = ResponseFilePath();
    row.Status = status;
    row.FullURL = exchange ? exchange->request().fullUrl() : QString();
    if (m_browser->replyStatus() > 0)
        row.Code = m_browser->replyStatus();
    return row;
}

void CProxyConnection::Socket_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    guarded([&] {
        UpdateTimeout();
        if (!m_h2 && m_phase != Phase::Ended && m_tls->origin() && m_socket->isEncrypted()
            && m_socket->negotiatedProtocol() == "h2") {
            // The streams wait in the socket until the server's handshake is over too, so that
            // the first of them takes the tunnel's server connection.
            if (!m_queue.empty() && m_queue.front()->request().RequestType() == CRequest::TypeConnect)
                return;
            startHttp2();
        }
        if (m_h2) {
            m_h2->browserReadable();
            return;
        }
        if (m_relay->isActive() && m_tls->armed() && m_upstreamConnected) {
            switch (m_tls->probe(m_server ? m_server->httpsDecryption() : nullptr)) {
            case TlsInterceptor::Probe::NeedMore:
                return;
            case TlsInterceptor::Probe::Decrypting:
                m_relay->setActive(false);
                return;
            case TlsInterceptor::Probe::Relay:
                break;
            }
        }
        QByteArray text;
        m_socket->GetData(text);
        if (text.isEmpty())
            return;
        if (m_relay->isActive()) {
            m_tls->disarm();
            m_relay->fromBrowser(text);
            return;
        }
        if (m_phase == Phase::Answering || m_phase == Phase::BrowserGone || m_phase == Phase::Ended
            || m_pendingRefusal)
            return;
        // What follows a request to switch protocols is not read as a request until the server
        // has said whether it switches.
        if (!m_queue.empty() && m_queue.back()->upgrade) {
            m_upgradeHeld += text;
            return;
        }
        // What follows a CONNECT that waits for its turn belongs to its tunnel.
        if (!m_tls->origin() && !m_queue.empty()
            && m_queue.back()->request().RequestType() == CRequest::TypeConnect) {
            m_relay->hold(text);
            return;
        }
        feedRequests(std::move(text));
    });
}

// Reads requests from the bytes the browser sent, one exchange each, as many as they hold.
void CProxyConnection::feedRequests(QByteArray bytes)
{
    // Serving a request can run the event loop (the purge's wait window); bytes that arrive
    // meanwhile wait behind those being read, so that requests keep their order.
    if (m_feeding) {
        m_backlog += bytes;
        return;
    }
    m_feeding = true;
    const auto done = qScopeGuard([this] { m_feeding = false; });
    readRequests(std::move(bytes));
    while (!m_backlog.isEmpty()) {
        QByteArray more = std::exchange(m_backlog, QByteArray());
        const CExchange *last = m_queue.empty() ? nullptr : m_queue.back().get();
        if (m_relay->isActive())
            m_relay->fromBrowser(more);
        else if (last && last->request().RequestType() == CRequest::TypeConnect)
            m_relay->hold(more);
        else if (last && last->upgrade) {
            m_upgradeHeld += more;
        } else {
            readRequests(std::move(more));
        }
    }
}

void CProxyConnection::readRequests(QByteArray bytes)
{
    // Held once: each request takes its own bytes from the front and hands the rest on.
    if (m_unparsed.isEmpty())
        m_unparsed.swap(bytes);
    else
        m_unparsed += bytes;
    // Past the pipelining bound the rest waits, unparsed, for the replies before it.
    while (!m_unparsed.isEmpty() && m_queue.size() < MaxPipelined && !m_pendingRefusal
        && m_phase != Phase::Answering && m_phase != Phase::Ended) {
        if (!m_receiving) {
            m_receiving = std::make_shared<CExchange>(recordFolder());
            m_receiving->firstByteAt = Clock::now();
            if (const std::optional<HttpTarget> origin = decryptedOrigin())
                m_receiving->request().setOrigin(*origin);
            if (!m_streamRecordHead.isEmpty())
                m_receiving->request().setRecordHead(m_streamRecordHead);
            const QString path = m_receiving->RequestFilePath();
            m_receiving->request().setRecordFailed([weak = weak_from_this(), path](const QString &reason) {
                if (const auto self = weak.lock())
                    self->requestRecordFailed(path, reason);
            });
        }
        CRequest &request = m_receiving->request();
        request.BufferData(std::exchange(m_unparsed, QByteArray()));
        if (request.Status() == CRequest::StatusRefused) {
            const int code = request.refusalCode() ? request.refusalCode() : 400;
            const QString reason = request.refusalReason();
            // The refused request may have been recorded; with no row to name it, no purge
            // would ever find the file again.
            RecordWriter::instance().remove(m_receiving->RequestFilePath());
            m_receiving.reset();
            refuseInTurn(code, reason);
            return;
        }
        if (request.Status() != CRequest::StatusComplete)
            return;
        // A request sent again is one request: what a record holds after it (a relay's bytes)
        // is not sent.
        m_unparsed = m_resend ? QByteArray() : request.takeExcess();
        const std::shared_ptr<CExchange> exchange = std::exchange(m_receiving, nullptr);
        if (!requestComplete(exchange))
            return;
        if (exchange->request().RequestType() == CRequest::TypeConnect) {
            m_relay->hold(std::exchange(m_unparsed, QByteArray()));
            return;
        }
        if (exchange->upgrade) {
            m_upgradeHeld += std::exchange(m_unparsed, QByteArray());
            return;
        }
    }
    if (m_queue.size() >= MaxPipelined && !m_socket->readPaused())
        m_socket->setReadPaused(true);
}

// A request is complete: it gets its row and waits for its turn. False when it was refused.
bool CProxyConnection::requestComplete(const std::shared_ptr<CExchange> &exchange)
{
    CRequest &request = exchange->request();
    const std::optional<HttpTarget> &target = request.target();
    if (request.RequestType() == CRequest::TypeUnknown || !target
        || ((decryptedOrigin() || m_resend) && request.RequestType() == CRequest::TypeConnect)) {
        RecordWriter::instance().remove(exchange->RequestFilePath());
        refuseInTurn(400, QStringLiteral("Malformed request"));
        return false;
    }
    // The user sends his own requests again: the proxy's credentials are for other clients.
    if (const auto answer = m_resend
            ? std::nullopt
            : m_gate.judge(request, m_server, m_socket->LocalIP(), decryptedOrigin().has_value())) {
        RecordWriter::instance().remove(exchange->RequestFilePath());
        answerInTurn(*answer);
        return false;
    }
    if (target->host.isEmpty()) {
        RecordWriter::instance().remove(exchange->RequestFilePath());
        refuseInTurn(400, QStringLiteral("Target is not an absolute URL"));
        return false;
    }
    if (isOwnEndpoint(target->host, target->port, m_server)) {
        RecordWriter::instance().remove(exchange->RequestFilePath());
        refuseInTurn(508, QStringLiteral("Loop Detected"));
        return false;
    }
    exchange->upgrade = request.wantsUpgrade();
    exchange->keepAlive = request.keepAlive();

    m_queue.push_back(exchange);
    CProxyServer::RowReport row;
    row.IP = RemoteIP();
    row.Desc = exchange->methodWord();
    row.URL = request.page();
    row.RequestLength = request.Request().size();
    row.ResponseLength = 0;
    row.RequestFile = request.RequestFile();
    row.ResponseFile = QString();
    row.Status = QStringLiteral("IN-PROXY");
    row.FullURL = request.fullUrl();
    if (m_resend)
        row.Resent = true;
    SetupStamp(row);
    if (!m_server)
        return false;
    m_server->AddHit(exchange->methodWord() + QStringLiteral(" - ") + request.page(), RemoteIP());
    if (m_queue.size() == 1 && m_phase == Phase::Receiving)
        startNext();
    return true;
}

// Serves the next complete request, or waits for one.
void CProxyConnection::startNext()
{
    if (m_queue.empty()) {
        m_phase = Phase::Receiving;
        if (resendNext())
            return;
        if (m_pendingRefusal) {
            answerInTurn(*std::exchange(m_pendingRefusal, std::nullopt));
        } else if (m_closeAfter) {
            endExchange();
        } else if (m_socket->readPaused()) {
            m_socket->setReadPaused(false);
        }
        return;
    }
    const std::shared_ptr<CExchange> exchange = m_queue.front();
    CRequest &request = exchange->request();
    m_phase = Phase::Forwarding;
    m_upstreamConnected = false;
    // Whether anything of this exchange's reply has gone out decides how a failure is answered.
    m_sentToBrowser = false;
    exchange->forwarded = true;
    // Tunnels and switches of protocols are never held; nor is what the user sends himself.
    const std::shared_ptr<const Breakpoints> rules = m_server ? m_server->breakpoints() : nullptr;
    if (rules && !m_resend && exchange->stamp != 0 && !exchange->upgrade
        && request.RequestType() != CRequest::TypeConnect)
        exchange->breakAt
            = rules->pointsFor(request.target()->host, exchange->methodWord(), request.fullUrl());
    m_collectReply = exchange->breakAt & Breakpoints::Reply;
    m_heldReply.clear();
    if (exchange->breakAt & Breakpoints::Request) {
        hold(false);
        return;
    }
    if (request.RequestType() == CRequest::TypeConnect) {
        m_relay->setActive(true);
        m_browser->setTunnel(true);
        // The first bytes through the tunnel tell whether the browser starts TLS, unless the
        // browser sent some before it could know the tunnel was open.
        HttpsDecryption *https = m_server ? m_server->httpsDecryption() : nullptr;
        if (https && !m_relay->holdsBytes() && https->shouldDecrypt(request.target()->host))
            m_tls->arm(*request.target());
    }
    qint32 id = m_requestID;
    PassGet(id, request.page(), request.Request(), exchange->methodWord());
}

void CProxyConnection::PassGet(
    qint32 &RequestID, const QString &Host, const QByteArray &Header, const QString &rt)
{
    const std::shared_ptr<CExchange> exchange = m_queue.empty() ? nullptr : m_queue.front();
    if (!exchange)
        return;
    QByteArray target;
    if (!m_relay->isActive()) {
        // The server connection may carry the next request only when the browser's may; one
        // that has finished sending still has its queued requests served.
        // A request sent again keeps its server connection for the next one, as the browser's did.
        // So does a stream's, whose connection carries one request.
        const bool more
            = m_resend || m_streamOrigin || !m_closeAfter || m_queue.size() > 1 || !m_unparsed.isEmpty();
        const QByteArray connection = exchange->upgrade ? QByteArrayLiteral("upgrade")
            : exchange->keepAlive && more               ? QByteArrayLiteral("keep-alive")
                                                        : QByteArrayLiteral("close");
        const std::optional<QByteArray> text = forwardedRequest(Header, connection);
        if (!text) {
            refuse(400, QStringLiteral("Malformed request line"));
            return;
        }
        m_browser->setSendHeader(*text);
        const qsizetype methodEnd = text->indexOf(' ');
        target = text->mid(methodEnd + 1, text->indexOf(' ', methodEnd + 1) - methodEnd - 1);
    } else {
        // The fetcher still holds the last request it forwarded; none goes into a tunnel.
        m_browser->setSendHeader(QByteArray());
        target = Host.toLatin1();
    }
    m_browser->setResponseFile(exchange->ResponseFilePath());
    m_browser->setRecordDone(
        [exchange, server = m_server, prefix = logPrefix()](bool ok, const QString &error) {
            exchange->recordOutcome = ok ? QString() : error;
            if (!ok && server)
                server->AddLog(prefix + QStringLiteral(" - Internal error: ") + error);
            exchange->settle(server);
        });
    m_browser->setUpgradeAsked(exchange->upgrade);
    if (m_server) {
        const std::shared_ptr<const ProxyAccess> access = m_server->access();
        m_browser->setUpstreamProxy(std::shared_ptr<const UpstreamProxy>(access, &access->upstream));
    }
    m_browser->setRequestID(RequestID);
    m_browser->OpenURL(Host);

    if (m_phase == Phase::Forwarding && !m_upstreamConnected && !m_queue.empty()
        && m_queue.front() == exchange) {
        CProxyServer::RowReport row = fullReport(QStringLiteral("TO-WEB"));
        row.Desc = rt;
        exchange->report(m_server, row);
    }
    DebugTrace(QStringLiteral("Outoing to web #") + QString::number(RequestID) + QStringLiteral(" - ") + Host
        + QStringLiteral(" - ") + QString::fromLatin1(target));
}

std::optional<QByteArray> CProxyConnection::forwardedRequest(
    const QByteArray &Header, const QByteArray &connection)
{
    const MessageHead head = MessageHead::read(Header, MessageHead::Reading::Strict);
    const QByteArrayView line = head.startLine();
    const qsizetype methodEnd = line.indexOf(' ');
    const qsizetype targetEnd = line.indexOf(' ', methodEnd + 1);
    if (methodEnd < 0 || targetEnd < 0 || head.size() < 0)
        return std::nullopt;
    const QByteArrayView method = line.first(methodEnd);
    const QByteArrayView targetText = line.sliced(methodEnd + 1, targetEnd - methodEnd - 1);
    // A path is already what the server reads (inside a decrypted tunnel); a URL is cut to its path.
    std::optional<HttpTarget> target = HttpTarget();
    if (targetText.startsWith('/'))
        target->path = targetText.toByteArray();
    else
        target = HttpTarget::fromAbsolute(targetText);
    if (!target)
        return std::nullopt;
    // RFC 9112 section 3.2.4: an OPTIONS with no path asks about the server as a whole.
    QByteArray path = target->path;
    if (path.isEmpty() || path.startsWith('?'))
        path.prepend(method.compare("OPTIONS", Qt::CaseInsensitive) == 0 && path.isEmpty() ? "*" : "/");

    QByteArray out;
    out.reserve(Header.size() + target->authority.size() + connection.size() + 32);
    out.append(method).append(' ').append(path).append(line.sliced(targetEnd)).append(kCrLf);
    QList<QByteArray> named = head.list("connection");
    // RFC 9112 section 3.2.2: the server reads the target's authority, without its userinfo, as
    // Host, whatever the browser wrote there. A path was sent on a connection the browser chose.
    const QByteArray &host = target->authority;
    if (!host.isEmpty() && !head.contains("host"))
        out.append("Host: ").append(host).append(kCrLf);
    // A switch of protocols is asked for hop by hop (RFC 9110 section 7.8): its Upgrade field
    // goes on with it.
    const bool upgrade = connection == "upgrade";
    if (upgrade)
        named.removeAll("upgrade");
    for (const MessageHead::Field &field : head.fields()) {
        if (!host.isEmpty() && field.is("host"))
            out.append(field.line.first(field.name.size() + 1)).append(' ').append(host).append(kCrLf);
        else if (!isHopByHop(field.name.toByteArray().toLower(), named, upgrade))
            out.append(field.line).append(kCrLf);
    }
    out.append("Connection: ").append(connection).append("\r\n\r\n");
    out.append(QByteArrayView(Header).sliced(head.size()));
    return out;
}

void CProxyConnection::Browser_Connected()
{
    guarded([&] {
        if (m_phase != Phase::Forwarding)
            return;
        // A name can resolve to this machine too; only the connected address tells.
        if (!m_browser->throughUpstream()
            && isOwnEndpoint(m_browser->RemoteIP(), m_browser->port(), m_server)) {
            report(errorReport(QStringLiteral("ERROR")));
            refuse(508, QStringLiteral("Loop Detected"));
            return;
        }
        m_upstreamConnected = true;
        UpdateTimeout();
        report(fullReport(QStringLiteral("SENT-WEB")));
        if (m_relay->isActive()) {
            m_socket->SendData(QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n"));
            m_sentToBrowser = true;
            m_relay->open();
        }
    });
}

void CProxyConnection::Browser_DataReceived(const QByteArray &Buffer, qint32 BufferSize, qint32 ContentLength)
{
    Q_UNUSED(BufferSize);
    Q_UNUSED(ContentLength);
    guarded([&] {
        UpdateTimeout();
        if (m_phase != Phase::Forwarding)
            return;
        if (m_collectReply) {
            m_heldReply += Buffer;
            if (m_heldReply.size() <= MaxHeldReply)
                return;
            if (m_server)
                m_server->AddLog(logPrefix() + QStringLiteral(" - Reply too large to hold: passed on"));
            m_collectReply = false;
            m_socket->SendData(std::exchange(m_heldReply, QByteArray()));
        } else {
            m_socket->SendData(Buffer);
        }
        // Interim replies still leave room for an answer of the proxy's own.
        m_sentToBrowser = m_sentToBrowser || m_browser->finalReplyStarted();
        const qint64 queued = m_socket->bytesToWrite();
        m_peakQueued = qMax(m_peakQueued, queued);
        if (queued > RelayQueueBound && !m_browser->relayPaused()) {
            ++m_readPauses;
            m_browser->setRelayPaused(true);
        }
    });
}

void CProxyConnection::Browser_Upgraded()
{
    guarded([&] {
        if (m_phase != Phase::Forwarding || m_queue.empty())
            return;
        // The server switched protocols: from here on both sides are relayed unchanged, and the
        // request record goes on with what the browser sends, as the reply record does with
        // what the server sends.
        const CExchange &exchange = *m_queue.front();
        m_relay->startUpgrade(exchange.RequestFilePath(), exchange.request().Request(),
            std::exchange(m_upgradeHeld, QByteArray()));
    });
}

void CProxyConnection::resumeUpstreamIfDrained(qint64 bytesLeft)
{
    if (bytesLeft < RelayQueueBound / 4 && m_browser->relayPaused())
        m_browser->setRelayPaused(false);
}

void CProxyConnection::Browser_TransferCompleted(
    const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength)
{
    Q_UNUSED(Header);
    Q_UNUSED(Buffer);
    Q_UNUSED(ContentLength);
    Q_UNUSED(BufferLength);
    guarded([&] {
        if ((m_phase != Phase::Forwarding && m_phase != Phase::BrowserGone) || m_queue.empty())
            return;
        m_relay->finishUpgrade(m_queue.front()->RequestFilePath());
        m_queue.front()->transferDone = true;
        if (!m_server)
            return;
        m_server->AddLog(
            QStringLiteral("Received ") + URL() + QStringLiteral(" for ") + QString::number(m_requestID));
        if (m_collectReply && m_phase == Phase::Forwarding) {
            hold(true);
            return;
        }
        report(fullReport(QStringLiteral("TC-TO-USER")));
        if (m_phase == Phase::BrowserGone) {
            // The browser left once it had the whole reply: the exchange is complete.
            m_phase = Phase::Ended;
            m_queue.front()->relayedRow = fullReport(QStringLiteral("DONE"));
            m_queue.front()->settle(m_server);
            leave();
            return;
        }
        finishIfDrained();
    });
}

// The front exchange stops at a breakpoint: its row says HELD and the window gets what it needs
// to show it. Nothing goes on until the user decides, or the hold runs out.
void CProxyConnection::hold(bool atReply)
{
    const std::shared_ptr<CExchange> exchange = m_queue.front();
    m_phase = Phase::Held;
    m_hold = Hold { atReply, Clock::now() };
    CProxyServer::RowReport row;
    row.Status = QStringLiteral("HELD");
    exchange->report(m_server, row);
    if (!m_server)
        return;
    m_server->AddLog(logPrefix()
        + (atReply ? QStringLiteral(" - Held before the reply went to the browser: ")
                   : QStringLiteral(" - Held before the request went to the server: "))
        + exchange->request().fullUrl());
    CProxyServer::HeldExchange held;
    held.id = exchange->stamp;
    held.atReply = atReply;
    held.request = exchange->request().Request();
    held.reply = m_heldReply;
    held.origin = *exchange->request().target();
    held.fullUrl = exchange->request().fullUrl();
    held.origin.secure = held.fullUrl.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive);
    m_server->exchangeHeldBy(held, weak_from_this());
}

void CProxyConnection::releaseHold(quint64 id, const CProxyServer::HoldDecision &decision)
{
    guarded([&] {
        if (m_phase != Phase::Held || !m_hold || m_queue.empty() || m_queue.front()->stamp != id)
            return;
        resume(decision, decision.abort ? QStringLiteral("aborted") : QStringLiteral("continued"));
    });
}

void CProxyConnection::resume(const CProxyServer::HoldDecision &decision, const QString &how)
{
    const Hold held = *std::exchange(m_hold, std::nullopt);
    const std::shared_ptr<CExchange> exchange = m_queue.front();
    if (m_server)
        m_server->holdEndedBy(exchange->stamp, how);
    m_phase = Phase::Forwarding;
    UpdateTimeout();
    if (decision.abort) {
        if (m_server)
            m_server->AddLog(logPrefix() + QStringLiteral(" - Aborted in Tarnwick"));
        report(errorReport(QStringLiteral("ABORTED")));
        answerAndClose(502, QStringLiteral("The exchange was aborted in Tarnwick.\r\n"));
        return;
    }
    if (!held.atReply) {
        QString why;
        if (decision.edited && !exchange->replaceRequest(*decision.edited, decryptedOrigin(), &why)) {
            report(errorReport(QStringLiteral("ERROR")));
            refuse(400, why);
            return;
        }
        CRequest &request = exchange->request();
        qint32 id = m_requestID;
        PassGet(id, request.page(), request.Request(), exchange->methodWord());
        return;
    }
    m_collectReply = false;
    QByteArray reply = std::exchange(m_heldReply, QByteArray());
    if (decision.edited) {
        bool untilClose = false;
        const QString why = ReplyFraming::check(*decision.edited,
            exchange->request().method().compare("HEAD", Qt::CaseInsensitive) == 0, &untilClose);
        if (!why.isEmpty()) {
            report(errorReport(QStringLiteral("ERROR")));
            if (m_server)
                m_server->AddLog(logPrefix() + QStringLiteral(" - Edited reply refused: ") + why);
            answerAndClose(502, QStringLiteral("The edited reply was refused: %1.\r\n").arg(why));
            return;
        }
        // The record holds what the browser got; the server's own reply stays beside it. The
        // writer runs its jobs in order, after the fetcher's own.
        reply = *decision.edited;
        exchange->editedReplyLength = reply.size();
        if (untilClose)
            exchange->keepAlive = false;
        RecordWriter &writer = RecordWriter::instance();
        writer.rename(exchange->ResponseFilePath(), exchange->OriginalReplyFilePath());
        writer.write(exchange->ResponseFilePath(), reply);
    }
    m_socket->SendData(reply);
    m_sentToBrowser = true;
    CProxyServer::RowReport row = fullReport(QStringLiteral("TC-TO-USER"));
    if (exchange->editedReplyLength)
        row.ResponseLength = double(*exchange->editedReplyLength);
    report(row);
    finishIfDrained();
}

void CProxyConnection::dropHold()
{
    if (!std::exchange(m_hold, std::nullopt) || m_queue.empty())
        return;
    if (m_server)
        m_server->holdEndedBy(m_queue.front()->stamp, QStringLiteral("ended"));
}

void CProxyConnection::Browser_Failed(const QString &host, const QString &reason)
{
    guarded([&] {
        if (m_phase != Phase::Forwarding && m_phase != Phase::BrowserGone)
            return;
        if (m_server)
            m_server->AddLog(
                logPrefix() + QStringLiteral(" - Bad Gateway: ") + host + QStringLiteral(" - ") + reason);
        report(errorReport(QStringLiteral("ERROR")));
        if (m_phase == Phase::BrowserGone || m_sentToBrowser) {
            endExchange();
            return;
        }
        answerAndClose(502,
            QStringLiteral("The proxy could not reach %1: %2.\r\n")
                .arg(host.isEmpty() ? QStringLiteral("(no host)") : host, reason));
    });
}

void CProxyConnection::Browser_BrokenOff(const QString &reason)
{
    guarded([&] {
        if (m_phase != Phase::Forwarding && m_phase != Phase::BrowserGone)
            return;
        if (m_server)
            m_server->AddLog(logPrefix() + QStringLiteral(" - Reply broken off: ") + reason);
        report(errorReport(QStringLiteral("ERROR")));
        endExchange();
    });
}

void CProxyConnection::requestRecordFailed(const QString &path, const QString &reason)
{
    guarded([&] {
        if (m_server)
            m_server->AddLog(logPrefix() + QStringLiteral(" - Internal error: ") + reason);
        // The exchange whose request could not be recorded is ended if it is still running.
        const bool running = !m_queue.empty() && m_queue.front()->RequestFilePath() == path;
        if (running && m_phase == Phase::Forwarding) {
            report(errorReport(QStringLiteral("ERROR")));
            if (m_sentToBrowser)
                endExchange();
            else
                answerAndClose(500, QStringLiteral("The proxy failed: %1.\r\n").arg(reason));
        }
    });
}

void CProxyConnection::Interceptor_Log(const QString &text)
{
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - ") + text);
}

void CProxyConnection::Interceptor_BrowserFailed()
{
    guarded([&] { report(errorReport(QStringLiteral("ERROR"))); });
}

// Both handshakes are over: the CONNECT's exchange ends with a summary of the two TLS sessions
// as its reply record, and the requests inside are served.
void CProxyConnection::Interceptor_Ready()
{
    guarded([&] {
        if (m_queue.empty() || m_queue.front()->request().RequestType() != CRequest::TypeConnect)
            return;
        const std::shared_ptr<CExchange> tunnel = m_queue.front();
        const QByteArray summary = m_tls->summary().toUtf8();
        RecordWriter::instance().write(tunnel->ResponseFilePath(), summary);
        tunnel->transferDone = true;
        if (m_server)
            m_server->AddLog(
                QStringLiteral("Received ") + URL() + QStringLiteral(" for ") + QString::number(m_requestID));
        CProxyServer::RowReport row
            = fullReport(m_tls->serverFailed() ? QStringLiteral("ERROR") : QStringLiteral("DONE"));
        row.ResponseLength = summary.size();
        tunnel->report(m_server, row);
        m_last = tunnel;
        m_queue.pop_front();
        // The streams of an HTTP/2 browser are served by connections of their own, which take
        // the tunnel's server connection (or its HTTP/2 session) from the pool.
        if (m_h2 || m_socket->negotiatedProtocol() == "h2")
            m_browser->releaseToPool();
        UpdateTimeout();
        if (!m_h2 && m_socket->negotiatedProtocol() == "h2" && m_phase != Phase::Ended) {
            m_phase = Phase::Receiving;
            startHttp2();
            m_h2->browserReadable();
            return;
        }
        startNext();
    });
}

void CProxyConnection::Socket_SendComplete()
{
    guarded([&] {
        if (m_h2) {
            m_h2->browserDrained();
            return;
        }
        resumeUpstreamIfDrained(0);
        finishIfDrained();
    });
}

void CProxyConnection::Socket_SendProgress(qint64 bytesLeft)
{
    guarded([&] {
        // A browser that is taking the reply is active, however slowly it reads.
        UpdateTimeout();
        if (m_h2) {
            m_h2->browserDrained();
            return;
        }
        resumeUpstreamIfDrained(bytesLeft);
    });
}

void CProxyConnection::finishIfDrained()
{
    if (m_socket->bytesToWrite() > 0)
        return;
    if (m_phase == Phase::Answering)
        endExchange();
    else if (m_phase == Phase::Forwarding && !m_queue.empty() && m_queue.front()->transferDone)
        exchangeDone();
}

// The browser has the whole reply: the exchange is done, and the connection either serves the
// next request or closes.
void CProxyConnection::exchangeDone()
{
    m_queue.front()->relayedRow = fullReport(QStringLiteral("DONE"));
    if (m_queue.front()->editedReplyLength)
        m_queue.front()->relayedRow->ResponseLength = double(*m_queue.front()->editedReplyLength);
    m_last = m_queue.front();
    m_queue.pop_front();
    // The next request goes on at once; the row says DONE when the record is in place.
    m_last->settle(m_server);
    // RFC 9112 section 9.6: after "close" on either side, or a reply delimited by the server's
    // close, no further request is read from this connection. A browser that has only finished
    // sending still gets the replies to the requests it sent before.
    if (m_relay->isActive() || !m_last->keepAlive || !m_browser->keptAlive()) {
        m_closeAfter = true;
        m_queue.clear();
        m_upgradeHeld.clear();
    } else if (!m_unparsed.isEmpty()) {
        feedRequests({});
    }
    UpdateTimeout();
    startNext();
    const QByteArray held = std::exchange(m_upgradeHeld, QByteArray());
    if (!held.isEmpty() && m_phase == Phase::Receiving)
        feedRequests(held);
}

void CProxyConnection::endExchange()
{
    dropHold();
    if (m_resend && !m_resendItems.empty()) {
        // One request sent again went wrong; the next still goes.
        m_browser->abort();
        if (!m_queue.empty())
            m_last = m_queue.front();
        m_queue.clear();
        m_receiving.reset();
        m_unparsed.clear();
        m_pendingRefusal.reset();
        resendNext();
        return;
    }
    m_phase = Phase::Ended;
    if (m_graceTimer)
        m_graceTimer->stop();
    m_socket->Close();
    m_browser->abort();
    if (m_server)
        leave();
}

// Ends the connection from the browser's side: the exchange being served and those waiting
// behind it get the status.
void CProxyConnection::endConnection(const QString &status)
{
    dropHold();
    m_phase = Phase::Ended;
    m_socket->Close();
    m_browser->abort();
    if (m_server)
        leave();
    for (const auto &exchange : m_queue)
        exchange->report(m_server, exchange == m_queue.front() ? fullReport(status) : errorReport(status));
}

void CProxyConnection::Socket_Close()
{
    guarded([&] {
        if (m_h2) {
            http2Ended();
            return;
        }
        if (m_phase == Phase::Ended || m_phase == Phase::BrowserGone)
            return;
        if (m_phase == Phase::Answering) {
            endExchange();
            return;
        }
        if (m_phase == Phase::Forwarding && m_relay->isOpen()) {
            // Either side closing ends a relay normally.
            m_phase = Phase::BrowserGone;
            m_socket->Close();
            m_browser->FileCompleted();
            return;
        }
        if (m_phase == Phase::Forwarding && !m_relay->isActive() && m_browser->receivedBytes() > 0
            && !TransferDone()) {
            // A browser that knows the reply length closes as soon as it has the body, often
            // just before the server's own close reaches us.
            m_phase = Phase::BrowserGone;
            m_socket->Close();
            m_browser->setRelayPaused(false);
            if (!m_graceTimer) {
                m_graceTimer = new QTimer(this);
                m_graceTimer->setSingleShot(true);
                connect(m_graceTimer, &QTimer::timeout, this, &CProxyConnection::browserGoneTimeout);
            }
            m_graceTimer->start(BrowserGoneGraceMs);
            return;
        }
        endConnection(QStringLiteral("REMOVED"));
    });
}

void CProxyConnection::Socket_PeerFinished()
{
    guarded([&] {
        if (m_h2) {
            http2Ended();
            return;
        }
        if (m_phase == Phase::Forwarding && m_relay->isActive()) {
            m_relay->browserFinished();
            return;
        }
        // After a complete request the end of stream only means "no more requests"; a browser
        // that stops in the middle of a reply, though, has gone.
        m_closeAfter = true;
        m_receiving.reset();
        if (m_phase == Phase::Held)
            return;
        if (m_phase == Phase::Answering
            || (m_phase == Phase::Forwarding && (m_browser->receivedBytes() == 0 || TransferDone())))
            return;
        if (m_phase == Phase::Receiving && m_queue.empty()) {
            endExchange();
            return;
        }
        Socket_Close();
    });
}

void CProxyConnection::browserGoneTimeout()
{
    guarded([&] {
        if (m_phase != Phase::BrowserGone)
            return;
        endConnection(QStringLiteral("REMOVED"));
    });
}

void CProxyConnection::Socket_Error(qint16 Number, const QString &Description)
{
    Q_UNUSED(Description);
    guarded([&] {
        if (m_h2) {
            http2Ended();
            return;
        }
        if (m_phase == Phase::Ended)
            return;
        dropHold();
        m_phase = Phase::Ended;
        const QString status
            = Number == EventSocket::sckConnectionReset ? QStringLiteral("CLOSED") : QStringLiteral("ERROR");
        for (const auto &exchange : m_queue)
            exchange->report(m_server, errorReport(status));
        m_browser->abort();
        if (m_server)
            leave();
        m_socket->Close();
    });
}

void CProxyConnection::refuse(int code, const QString &reason)
{
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - Refused: ") + QString::number(code)
            + QStringLiteral(" ") + reason);
    answerAndClose(code, reason + QStringLiteral("\r\n"));
}

// A request that is not being served yet is refused in its turn, after the replies to the
// requests before it; nothing after it is read.
void CProxyConnection::refuseInTurn(int code, const QString &reason)
{
    answerInTurn(
        { RequestGate::reply(code, reasonPhrase(code).toLatin1(), "text/plain", reason.toUtf8() + kCrLf),
            QStringLiteral("Refused: ") + QString::number(code) + QStringLiteral(" ") + reason });
}

void CProxyConnection::answerInTurn(const RequestGate::Answer &answer)
{
    if (!m_queue.empty()) {
        m_pendingRefusal = answer;
        m_socket->setReadPaused(true);
        return;
    }
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - ") + answer.log);
    sendAnswer(answer.bytes);
}

void CProxyConnection::answerAndClose(int code, const QString &body)
{
    sendAnswer(RequestGate::reply(code, reasonPhrase(code).toLatin1(), "text/plain", body.toUtf8()));
}

void CProxyConnection::sendAnswer(const QByteArray &answer)
{
    // The answer is what the browser got for the exchange being served: its row names it as the
    // reply record, unless the server's own bytes were kept there (a reply refused as invalid).
    if (m_phase == Phase::Forwarding && !m_queue.empty() && m_queue.front()->stamp != 0
        && !m_queue.front()->rowRemoved && m_browser->receivedBytes() == 0)
        RecordWriter::instance().write(m_queue.front()->ResponseFilePath(), answer);
    m_phase = Phase::Answering;
    m_browser->abort();
    if (m_socket->State() != EventSocket::sckConnected) {
        endExchange();
        return;
    }
    m_socket->SendData(answer);
    // A close with unread input would make the system reset the connection, and the client
    // would lose the answer: the closed socket reads and drops that input for a while instead.
    m_socket->ShutdownSend();
    m_sentToBrowser = true;
    finishIfDrained();
}

void CProxyConnection::internalFailure(const QString &reason)
{
    if (m_phase == Phase::Ended)
        return;
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - Internal error: ") + reason);
    report(errorReport(QStringLiteral("ERROR")));
    if (m_phase == Phase::Answering || m_sentToBrowser) {
        endExchange();
        return;
    }
    try {
        answerAndClose(500, QStringLiteral("The proxy failed: %1.\r\n").arg(reason));
    } catch (const std::exception &) {
        endExchange();
    }
}

#include "CProxyConnection.h"

#include "CHTTPGet.h"
#include "CRequest.h"
#include "Clock.h"
#include "EventSocket.h"
#include "IHistoryList.h"
#include "IProxyShell.h"
#include "ProgramValues.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <utility>

namespace {
// Record names held by live connections, so that two connections of the same second can
// never share their record files.
QSet<QString> &liveRecordNames()
{
    static QSet<QString> names;
    return names;
}

// Enough draws to get past any realistic run of collisions while still ending when a broken
// random source keeps repeating itself.
constexpr int kMaxNameDraws = 1000;

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
    case 502:
        return QStringLiteral("Bad Gateway");
    default:
        return QStringLiteral("Internal Server Error");
    }
}

bool isHopByHop(const QByteArray &name, const QList<QByteArray> &named)
{
    static const QList<QByteArray> always = { "connection", "proxy-connection", "keep-alive" };
    return always.contains(name) || named.contains(name);
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
    , m_req(std::make_unique<CRequest>())
    , m_socket(new EventSocket(this))
    , m_browser(new CHTTPGet(this))
{
    SetupFileNames();

    connect(m_socket, &EventSocket::peerFinished, this, &CProxyConnection::Socket_PeerFinished);
    connect(m_socket, &EventSocket::DataArrival, this, [this] {
        if (!m_firstByteAt.isValid())
            m_firstByteAt = Clock::now();
    });
    connect(m_socket, &EventSocket::DataArrival, this, &CProxyConnection::Socket_DataArrival);
    // A browser that has sent its request and then its end of stream still wants the reply.
    connect(m_socket, &EventSocket::DataArrival, this, [this] {
        if (m_phase == Phase::Forwarding)
            m_socket->allowHalfClose();
    });
    connect(m_socket, &EventSocket::SendComplete, this, &CProxyConnection::Socket_SendComplete);
    connect(m_socket, &EventSocket::sendProgress, this, &CProxyConnection::Socket_SendProgress);
    connect(m_socket, &EventSocket::Closed, this, &CProxyConnection::Socket_Close);
    connect(m_socket, &EventSocket::Error, this,
        [this](qint16 Number, const QString &Description, qint32, const QString &, const QString &, qint32,
            bool *) { Socket_Error(Number, Description); });
    connect(m_browser, &CHTTPGet::Connected, this, &CProxyConnection::Browser_Connected);
    connect(m_browser, &CHTTPGet::Connected, this, [this] {
        if (m_tunnel && m_browserFinished)
            m_browser->socket()->ShutdownSend();
    });
    connect(m_browser, &CHTTPGet::DataReceived, this, &CProxyConnection::Browser_DataReceived);
    connect(m_browser, &CHTTPGet::TransferCompleted, this, &CProxyConnection::Browser_TransferCompleted);
    connect(m_browser, &CHTTPGet::failed, this, &CProxyConnection::Browser_Failed);
    connect(m_browser, &CHTTPGet::brokenOff, this, &CProxyConnection::Browser_BrokenOff);
    connect(m_browser, &CHTTPGet::recordFailed, this, &CProxyConnection::Browser_RecordFailed);
    // Tunnel uploads: hold the browser back while the web server is slow to take its bytes.
    connect(m_browser->socket(), &EventSocket::sendProgress, this, [this](qint64 bytesLeft) {
        guarded([&] {
            UpdateTimeout();
            resumeBrowserIfDrained(bytesLeft);
        });
    });
    connect(m_browser->socket(), &EventSocket::SendComplete, this,
        [this] { guarded([&] { resumeBrowserIfDrained(0); }); });
}

CProxyConnection::~CProxyConnection()
{
    liveRecordNames().remove(m_recordName);
    // Socket first, then parser, then fetcher, as they were made.
    delete m_socket;
    m_socket = nullptr;
    m_req.reset();
    delete m_browser;
    m_browser = nullptr;
}

CHTTPGet *CProxyConnection::HTTPGet() const
{
    return m_browser;
}

void CProxyConnection::setStamp(qint32 NewStamp)
{
    m_stamp = NewStamp;
}

qint32 CProxyConnection::stamp() const
{
    return m_stamp;
}

QString CProxyConnection::URL() const
{
    return m_req->page();
}

QString CProxyConnection::RequestDesc() const
{
    const QString word = methodWord();
    return word.isEmpty() ? QStringLiteral("?") : word;
}

qint32 CProxyConnection::RequestLength() const
{
    return static_cast<qint32>(m_req->Request().size());
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
    return m_requestFilePath;
}

QString CProxyConnection::ResponseFilePath() const
{
    return m_responseFilePath;
}

EventSocket *CProxyConnection::socket() const
{
    return m_socket;
}

CRequest *CProxyConnection::request() const
{
    return m_req.get();
}

QString CProxyConnection::recordName() const
{
    return m_recordName;
}

bool CProxyConnection::TransferDone() const
{
    return m_transferDone;
}

qint64 CProxyConnection::peakQueuedToBrowser() const
{
    return m_peakQueued;
}

int CProxyConnection::readPauses() const
{
    return m_readPauses;
}

QString CProxyConnection::methodWord() const
{
    switch (m_req->RequestType()) {
    case CRequest::TypeGet:
        return QStringLiteral("GET");
    case CRequest::TypePost:
        return QStringLiteral("POST");
    case CRequest::TypeConnect:
        return QStringLiteral("CONNECT");
    default:
        return QString();
    }
}

QString CProxyConnection::logPrefix() const
{
    return RemoteIP() + QStringLiteral(" - ") + QString::number(m_requestID);
}

void CProxyConnection::SetupFileNames()
{
    const QString folder = recordFolder();
    QString name;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        const QDateTime moment = Clock::now();
        QString letters;
        for (int i = 0; i < 5; ++i)
            letters += QChar(65 + static_cast<int>(Clock::rnd() * 26));
        name = moment.toString(QStringLiteral("yyMMdd")) + moment.toString(QStringLiteral("HHmmss"))
            + QStringLiteral("-") + letters;
        const QString base = folder + name;
        if (!liveRecordNames().contains(name) && !QFile::exists(base + QStringLiteral("-Q.txt"))
            && !QFile::exists(base + QStringLiteral("-A.txt")))
            break;
    }
    m_recordName = name;
    liveRecordNames().insert(name);
    m_requestFilePath = folder + name + QStringLiteral("-Q.txt");
    m_responseFilePath = folder + name + QStringLiteral("-A.txt");
    m_req->setRequestFile(m_requestFilePath);
    m_browser->setResponseFile(m_responseFilePath);
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
    m_browserIP = m_socket->RemoteHostIP();
    m_server = Server;
    UpdateTimeout();
}

void CProxyConnection::CheckTimeout()
{
    guarded([&] {
        if (m_phase == Phase::Ended || !m_server)
            return;
        const QDateTime now = Clock::now();
        const QTime t = now.time();
        const QDateTime nowSeconds(now.date(), QTime(t.hour(), t.minute(), t.second()));
        const qint64 elapsed = m_lastActivity.secsTo(nowSeconds);
        if (m_phase == Phase::Receiving && m_firstByteAt.isValid()
            && m_firstByteAt.msecsTo(now) >= HeaderDeadlineMs && !m_req->Request().contains("\r\n\r\n")) {
            refuse(408, QStringLiteral("Request header not received in time"));
            return;
        }
        if (elapsed > m_server->Timeout()) {
            m_phase = Phase::Ended;
            m_socket->Close();
            m_browser->abort();
            DebugTrace(QStringLiteral("Timeout on ") + QString::number(m_requestID));
            m_server->RemoveRequest(m_requestID);
        }
    });
}

void CProxyConnection::Shutdown()
{
    if (m_graceTimer)
        m_graceTimer->stop();
    m_phase = Phase::Ended;
    m_socket->Close();
    m_browser->abort();
    dropOrphanRecords();
    m_server = nullptr;
}

void CProxyConnection::dropOrphanRecords()
{
    IHistoryList *list = m_server ? m_server->historyList() : nullptr;
    if (!list || (m_stamp != 0 && list->generation() == m_rowGeneration))
        return;
    QFile::remove(m_requestFilePath);
    m_browser->discardRecord();
}

void CProxyConnection::Send(const QByteArray &msg)
{
    guarded([&] {
        const qint64 t0 = Clock::tickCount();
        while (m_sending && Clock::tickCount() - t0 < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        m_sending = true;
        QCoreApplication::processEvents();
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

void CProxyConnection::SetupStamp()
{
    IHistoryList *list = m_server ? m_server->historyList() : nullptr;
    if (!list) {
        m_stamp = 0;
        return;
    }
    m_stamp = list->count() + 1;
    list->add();
    list->setSelectedIndex(m_stamp);
    m_rowGeneration = list->generation();
}

void CProxyConnection::report(const CProxyServer::RowReport &row)
{
    if (!m_server || m_stamp == 0)
        return;
    // Rows are addressed by position only; once the list has been emptied, whatever row later
    // takes this position belongs to another exchange.
    IHistoryList *list = m_server->historyList();
    if (!list || list->generation() != m_rowGeneration)
        return;
    m_server->UpdateItem(m_stamp, row);
}

// The report of an exchange that ended in a failure fills only these columns.
CProxyServer::RowReport CProxyConnection::errorReport(const QString &status) const
{
    CProxyServer::RowReport row;
    row.Desc = RequestDesc();
    row.ResponseFile = m_responseFilePath;
    row.Status = status;
    return row;
}

CProxyServer::RowReport CProxyConnection::fullReport(const QString &status) const
{
    CProxyServer::RowReport row;
    row.Host = m_browser->Host();
    row.IP = m_browser->RemoteIP();
    row.Desc = RequestDesc();
    row.URL = m_req->page();
    row.RequestLength = m_req->Request().size();
    row.ResponseLength = static_cast<double>(m_browser->Header().size() + m_browser->receivedBytes());
    row.RequestFile = m_req->RequestFile();
    row.ResponseFile = m_responseFilePath;
    row.Status = status;
    return row;
}

void CProxyConnection::Socket_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    guarded([&] {
        UpdateTimeout();
        QByteArray text;
        m_socket->GetData(text);
        if (text.isEmpty())
            return;
        if (m_tunnel) {
            if (m_upstreamConnected)
                m_browser->sendUpstream(text);
            else
                m_tunnelPending += text;
            const qint64 queued = m_browser->socket()->bytesToWrite() + m_tunnelPending.size();
            if (queued > RelayQueueBound && !m_socket->readPaused()) {
                ++m_readPauses;
                m_socket->setReadPaused(true);
            }
            return;
        }
        // One request per connection: whatever follows a complete request is not a new one.
        if (m_phase != Phase::Receiving)
            return;
        m_req->BufferData(text);
        const qint16 status = m_req->Status();
        if (status == CRequest::StatusComplete) {
            m_req->setStatus(CRequest::StatusNone);
            requestComplete();
        } else if (status == CRequest::StatusRefused) {
            const int code = m_req->refusalCode() ? m_req->refusalCode() : 400;
            const QString reason = m_req->refusalReason().isEmpty() ? QStringLiteral("Request refused")
                                                                    : m_req->refusalReason();
            m_req->setStatus(CRequest::StatusNone);
            refuse(code, reason);
        }
    });
}

void CProxyConnection::requestComplete()
{
    if (m_req->RequestType() == CRequest::TypeUnknown) {
        refuse(400, QStringLiteral("Unrecognised method"));
        return;
    }
    const bool connectRequest = m_req->RequestType() == CRequest::TypeConnect;
    if (!connectRequest && !forwardedRequest(m_req->Request())) {
        refuse(400, QStringLiteral("Malformed request line"));
        return;
    }
    m_phase = Phase::Forwarding;
    if (connectRequest) {
        m_tunnel = true;
        const QByteArray &all = m_req->Request();
        const qsizetype headerEnd = all.indexOf("\r\n\r\n");
        if (headerEnd >= 0)
            m_tunnelPending = all.mid(headerEnd + 4);
    }

    const QString word = methodWord();
    SetupStamp();
    CProxyServer::RowReport row;
    row.IP = RemoteIP();
    row.Desc = word;
    row.URL = m_req->page();
    row.RequestLength = m_req->Request().size();
    row.ResponseLength = static_cast<double>(m_browser->Header().size() + m_browser->receivedBytes());
    row.RequestFile = m_req->RequestFile();
    row.ResponseFile = QString();
    row.Status = QStringLiteral("IN-PROXY");
    report(row);
    if (!m_server)
        return;
    m_server->AddHit(word + QStringLiteral(" - ") + m_req->page(), RemoteIP());
    qint32 id = m_requestID;
    PassGet(id, m_req->page(), m_req->Request(), word);
}

std::optional<QByteArray> CProxyConnection::forwardedRequest(const QByteArray &Header)
{
    const qsizetype methodEnd = Header.indexOf(' ');
    if (methodEnd < 0)
        return std::nullopt;
    const qsizetype lineEnd = Header.indexOf(kCrLf);
    const qsizetype targetEnd = Header.indexOf(' ', methodEnd + 1);
    if (targetEnd < 0 || (lineEnd >= 0 && lineEnd < targetEnd))
        return std::nullopt;

    QByteArray target = Header.mid(methodEnd + 1, targetEnd - methodEnd - 1);
    if (target.startsWith("http://")) {
        const QByteArray remainder = target.mid(7);
        const qsizetype slash = remainder.indexOf('/');
        target = slash >= 0 ? remainder.mid(slash) : QByteArrayLiteral("/");
    }

    QByteArray out = Header.left(methodEnd + 1) + target;
    const qsizetype headerEnd = Header.indexOf("\r\n\r\n");
    if (lineEnd < 0 || headerEnd < 0) {
        out += Header.mid(targetEnd);
        return out;
    }
    out += Header.mid(targetEnd, lineEnd - targetEnd) + kCrLf;

    // Header lines between the request line and the empty line, continuation lines kept with
    // the header they continue.
    QList<QByteArray> lines;
    qsizetype pos = lineEnd + 2;
    while (pos < headerEnd + 2) {
        const qsizetype end = Header.indexOf(kCrLf, pos);
        const QByteArray line = Header.mid(pos, end - pos);
        if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t')))
            lines.last() += kCrLf + line;
        else
            lines.append(line);
        pos = end + 2;
    }
    auto nameOf = [](const QByteArray &line) {
        const qsizetype colon = line.indexOf(':');
        return (colon < 0 ? line : line.left(colon)).trimmed().toLower();
    };

    // RFC 9110 7.6.1: Connection names further hop-by-hop fields of this connection only.
    QList<QByteArray> named;
    for (const QByteArray &line : lines) {
        if (nameOf(line) != "connection")
            continue;
        const QByteArray value = line.mid(line.indexOf(':') + 1).replace("\r\n", " ");
        for (const QByteArray &token : value.split(','))
            if (!token.trimmed().isEmpty())
                named.append(token.trimmed().toLower());
    }
    for (const QByteArray &line : lines)
        if (!isHopByHop(nameOf(line), named))
            out += line + kCrLf;
    out += QByteArrayLiteral("Connection: close\r\n\r\n");
    out += Header.mid(headerEnd + 4);
    return out;
}

void CProxyConnection::PassGet(
    qint32 &RequestID, const QString &Host, const QByteArray &Header, const QString &rt)
{
    QByteArray target;
    if (!m_tunnel) {
        const std::optional<QByteArray> text = forwardedRequest(Header);
        if (!text) {
            refuse(400, QStringLiteral("Malformed request line"));
            return;
        }
        m_browser->setSendHeader(*text);
        const qsizetype methodEnd = text->indexOf(' ');
        target = text->mid(methodEnd + 1, text->indexOf(' ', methodEnd + 1) - methodEnd - 1);
    } else {
        target = Host.toLatin1();
    }
    m_browser->setRequestID(RequestID);
    m_browser->OpenURL(Host);

    IHistoryList *list = m_server ? m_server->historyList() : nullptr;
    if (list && list->count() > 200) {
        m_server->AddLog(QStringLiteral("200 Temp File Limit Reached - Auto-Purging..."));
        if (IProxyShell *shell = m_server->shell())
            shell->DeleteTempFiles();
        if (m_server) {
            if (IHistoryList *again = m_server->historyList())
                again->clear();
            m_server->AddLog(QStringLiteral("Done purging."));
        }
    }
    if (m_phase == Phase::Forwarding && !m_upstreamConnected) {
        CProxyServer::RowReport row = fullReport(QStringLiteral("TO-WEB"));
        row.Desc = rt;
        report(row);
    }
    DebugTrace(QStringLiteral("Outoing to web #") + QString::number(RequestID) + QStringLiteral(" - ") + Host
        + QStringLiteral(" - ") + QString::fromLatin1(target));
}

void CProxyConnection::Browser_Connected()
{
    guarded([&] {
        if (m_phase != Phase::Forwarding)
            return;
        m_upstreamConnected = true;
        UpdateTimeout();
        report(fullReport(QStringLiteral("SENT-WEB")));
        if (m_tunnel) {
            m_socket->SendData(QByteArrayLiteral("HTTP/1.1 200 Connection established\r\n\r\n"));
            m_sentToBrowser = true;
            const QByteArray pending = std::exchange(m_tunnelPending, QByteArray());
            m_browser->sendUpstream(pending);
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
        m_socket->SendData(Buffer);
        m_sentToBrowser = true;
        const qint64 queued = m_socket->bytesToWrite();
        m_peakQueued = qMax(m_peakQueued, queued);
        if (queued > RelayQueueBound && !m_browser->socket()->readPaused()) {
            ++m_readPauses;
            m_browser->socket()->setReadPaused(true);
        }
    });
}

void CProxyConnection::resumeUpstreamIfDrained(qint64 bytesLeft)
{
    if (bytesLeft < RelayQueueBound / 4 && m_browser->socket()->readPaused())
        m_browser->socket()->setReadPaused(false);
}

void CProxyConnection::resumeBrowserIfDrained(qint64 bytesLeft)
{
    if (bytesLeft < RelayQueueBound / 4 && m_socket->readPaused())
        m_socket->setReadPaused(false);
}

void CProxyConnection::Browser_TransferCompleted(
    const QByteArray &Header, const QByteArray &Buffer, qint32 ContentLength, qint32 BufferLength)
{
    Q_UNUSED(Header);
    Q_UNUSED(Buffer);
    Q_UNUSED(ContentLength);
    Q_UNUSED(BufferLength);
    guarded([&] {
        if (m_phase != Phase::Forwarding && m_phase != Phase::BrowserGone)
            return;
        m_transferDone = true;
        if (!m_server)
            return;
        m_server->AddLog(QStringLiteral("Received ") + m_req->page() + QStringLiteral(" for ")
            + QString::number(m_requestID));
        report(fullReport(QStringLiteral("TC-TO-USER")));
        if (m_phase == Phase::BrowserGone) {
            // The browser left once it had the whole reply: the exchange is complete.
            m_phase = Phase::Ended;
            report(fullReport(QStringLiteral("DONE")));
            m_server->RemoveRequest(m_requestID);
            return;
        }
        finishIfDrained();
    });
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
        if (m_phase == Phase::BrowserGone) {
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

void CProxyConnection::Browser_RecordFailed(const QString &reason)
{
    guarded([&] { internalFailure(reason); });
}

void CProxyConnection::Socket_SendComplete()
{
    guarded([&] {
        m_sending = false;
        resumeUpstreamIfDrained(0);
        finishIfDrained();
    });
}

void CProxyConnection::Socket_SendProgress(qint64 bytesLeft)
{
    guarded([&] {
        // A browser that is taking the reply is active, however slowly it reads.
        UpdateTimeout();
        resumeUpstreamIfDrained(bytesLeft);
    });
}

void CProxyConnection::finishIfDrained()
{
    if (m_socket->bytesToWrite() > 0)
        return;
    if (m_phase == Phase::Answering) {
        endExchange();
    } else if (m_phase == Phase::Forwarding && m_transferDone) {
        m_phase = Phase::Ended;
        report(fullReport(QStringLiteral("DONE")));
        m_socket->Close();
        if (m_server)
            m_server->RemoveRequest(m_requestID);
    }
}

void CProxyConnection::endExchange()
{
    m_phase = Phase::Ended;
    if (m_graceTimer)
        m_graceTimer->stop();
    m_socket->Close();
    m_browser->abort();
    if (m_server)
        m_server->RemoveRequest(m_requestID);
}

void CProxyConnection::Socket_Close()
{
    guarded([&] {
        if (m_phase == Phase::Ended || m_phase == Phase::BrowserGone)
            return;
        if (m_phase == Phase::Answering) {
            endExchange();
            return;
        }
        if (m_phase == Phase::Forwarding && m_tunnel && m_upstreamConnected) {
            // Either side closing ends a tunnel normally.
            m_phase = Phase::BrowserGone;
            m_socket->Close();
            m_browser->FileCompleted();
            return;
        }
        if (m_phase == Phase::Forwarding && !m_tunnel && m_browser->receivedBytes() > 0 && !m_transferDone) {
            // A browser that knows the reply length closes as soon as it has the body, often
            // just before the server's own close reaches us.
            m_phase = Phase::BrowserGone;
            m_socket->Close();
            m_browser->socket()->setReadPaused(false);
            if (!m_graceTimer) {
                m_graceTimer = new QTimer(this);
                m_graceTimer->setSingleShot(true);
                connect(m_graceTimer, &QTimer::timeout, this, &CProxyConnection::browserGoneTimeout);
            }
            m_graceTimer->start(BrowserGoneGraceMs);
            return;
        }
        m_phase = Phase::Ended;
        m_socket->Close();
        m_browser->abort();
        if (m_server)
            m_server->RemoveRequest(m_requestID);
        report(fullReport(QStringLiteral("REMOVED")));
    });
}

void CProxyConnection::Socket_PeerFinished()
{
    guarded([&] {
        if (m_phase == Phase::Forwarding && m_tunnel) {
            // The browser has said all it will say; the server may still answer.
            m_browserFinished = true;
            if (m_upstreamConnected)
                m_browser->socket()->ShutdownSend();
            return;
        }
        // After a complete request the end of stream only means "no more requests"; once the
        // reply has begun to flow, it means the browser has left, as a close would.
        if (m_phase == Phase::Forwarding && !m_tunnel && m_browser->receivedBytes() == 0)
            return;
        Socket_Close();
    });
}

void CProxyConnection::browserGoneTimeout()
{
    guarded([&] {
        if (m_phase != Phase::BrowserGone)
            return;
        m_phase = Phase::Ended;
        m_browser->abort();
        if (m_server)
            m_server->RemoveRequest(m_requestID);
        report(fullReport(QStringLiteral("REMOVED")));
    });
}

void CProxyConnection::Socket_Error(qint16 Number, const QString &Description)
{
    Q_UNUSED(Description);
    guarded([&] {
        if (m_phase == Phase::Ended)
            return;
        m_phase = Phase::Ended;
        report(errorReport(
            Number == EventSocket::sckConnectionReset ? QStringLiteral("CLOSED") : QStringLiteral("ERROR")));
        m_browser->abort();
        if (m_server)
            m_server->RemoveRequest(m_requestID);
        m_socket->Close();
    });
}

void CProxyConnection::refuse(int code, const QString &reason)
{
    // The parser may have recorded the refused request; with no history row to name it, no
    // purge would ever find the file again.
    if (m_stamp == 0)
        QFile::remove(m_requestFilePath);
    if (m_server)
        m_server->AddLog(logPrefix() + QStringLiteral(" - Refused: ") + QString::number(code)
            + QStringLiteral(" ") + reason);
    answerAndClose(code, reason + QStringLiteral("\r\n"));
}

void CProxyConnection::answerAndClose(int code, const QString &body)
{
    const QByteArray content = body.toUtf8();
    QByteArray answer = QByteArrayLiteral("HTTP/1.1 ") + QByteArray::number(code) + ' '
        + reasonPhrase(code).toLatin1()
        + QByteArrayLiteral("\r\nContent-Type: text/plain\r\nContent-Length: ")
        + QByteArray::number(content.size()) + QByteArrayLiteral("\r\nConnection: close\r\n\r\n") + content;
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

#include "CHTTPGet.h"

#include "EventSocket.h"
#include "HttpTarget.h"
#include "ProgramValues.h"
#include "RaisedError.h"

#include <QFile>
#include <QPointer>
#include <QTimer>

#include <limits>
#include <utility>

namespace {
const QString kHttpScheme = QStringLiteral("http://");
const QString kSource = QStringLiteral("CHTTPGet");

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
} // namespace

CHTTPGet::CHTTPGet(QObject *parent)
    : QObject(parent)
    , m_socket(new EventSocket(this))
{
    connect(m_socket, &EventSocket::Connected, this, &CHTTPGet::Socket_Connect);
    connect(m_socket, &EventSocket::DataArrival, this, &CHTTPGet::Socket_DataArrival);
    connect(m_socket, &EventSocket::Closed, this, &CHTTPGet::Socket_Close);
    connect(m_socket, &EventSocket::Error, this,
        [this](qint16 Number, const QString &Description, qint32, const QString &, const QString &, qint32,
            bool *) { Socket_Error(Number, Description); });
}

CHTTPGet::~CHTTPGet()
{
    // A transfer cut off before the server closed leaves no reply record behind.
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
    return m_contentLength;
}

QByteArray CHTTPGet::Header() const
{
    return m_header;
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

qint64 CHTTPGet::receivedBytes() const
{
    return m_received;
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
    const bool absolute = text.size() >= kHttpScheme.size()
        && text.first(kHttpScheme.size()).toLower() == kHttpScheme.toLatin1();
    const std::optional<HttpTarget> parsed = HttpTarget::fromAbsolute(absolute ? text : "http://" + text);
    target.url = absolute ? QString::fromLatin1(parsed && !parsed->path.isEmpty() ? parsed->path : "/") : URL;
    if (parsed) {
        target.host = parsed->host;
        target.port = parsed->port;
    } else {
        target.port = 0;
    }
    return target;
}

void CHTTPGet::OpenURL(const QString &URL)
{
    const Target target = parseURL(URL);
    m_host = target.host;
    m_port = target.port;
    m_url = target.url;

    m_socket->Close();
    if (m_host.isEmpty()) {
        DebugTrace(QStringLiteral("No hostname passed to proxy"));
        failLater(QStringLiteral("no host name in the request"));
        return;
    }
    if (m_port < 1 || m_port > 65535) {
        failLater(QStringLiteral("port %1 out of range").arg(m_port));
        return;
    }
    m_socket->Connect(m_host, m_port);
}

void CHTTPGet::setTunnel(bool tunnel)
{
    m_tunnel = tunnel;
    m_headerPending = !tunnel;
}

void CHTTPGet::sendUpstream(const QByteArray &data)
{
    if (!m_aborted && !m_finished && !data.isEmpty())
        m_socket->SendData(data);
}

void CHTTPGet::Socket_Connect()
{
    if (m_aborted || m_failed)
        return;
    m_remoteIP = m_socket->RemoteHostIP();
    QPointer<CHTTPGet> self(this);
    emit Connected();
    if (!self || m_aborted || m_finished)
        return;
    if (!m_sendHeader.isEmpty())
        m_socket->SendData(m_sendHeader);
    DebugTrace(QStringLiteral("Connected to web #") + QString::number(m_requestID) + QStringLiteral(" - ")
        + m_host + QStringLiteral(" - ") + m_url);
}

void CHTTPGet::Socket_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    if (m_aborted || m_finished || m_failed)
        return;
    QByteArray chunk;
    m_socket->GetData(chunk);
    if (chunk.isEmpty())
        return;
    try {
        appendToRecord(chunk);
    } catch (const std::exception &e) {
        const QString reason = QString::fromLocal8Bit(e.what());
        abort();
        emit recordFailed(reason);
        return;
    }
    m_received += chunk.size();
    if (m_headerPending) {
        // The reply header is held back until it has ended, so that a reply that never gets
        // past its header can still be answered with a clean 502.
        const qsizetype searchFrom = qMax<qsizetype>(0, m_pendingHeader.size() - 3);
        m_pendingHeader += chunk;
        if (!replyHeaderEnded(searchFrom)) {
            if (m_pendingHeader.size() >= MaxReplyHeaderLength)
                failLater(QStringLiteral("reply header longer than %1 bytes").arg(MaxReplyHeaderLength));
            return;
        }
        m_headerPending = false;
        chunk = std::exchange(m_pendingHeader, QByteArray());
    }
    emit DataReceived(chunk, static_cast<qint32>(chunk.size()), m_contentLength);
}

bool CHTTPGet::replyHeaderEnded(qsizetype searchFrom) const
{
    // A reply that does not start like a status line has no header to wait for (HTTP/0.9).
    static constexpr QByteArrayView status("HTTP/");
    const qsizetype n = qMin(m_pendingHeader.size(), status.size());
    if (QByteArrayView(m_pendingHeader).first(n) != status.first(n))
        return true;
    // Some servers end their lines with a bare LF (RFC 9112 section 2.2 lets a recipient accept it).
    return m_pendingHeader.indexOf("\r\n\r\n", searchFrom) >= 0
        || m_pendingHeader.indexOf("\n\n", searchFrom) >= 0;
}

void CHTTPGet::Socket_Close()
{
    if (m_aborted || m_failed || m_finished)
        return;
    if (!m_tunnel && m_received == 0) {
        failLater(QStringLiteral("the server closed the connection without a reply"));
        return;
    }
    if (m_headerPending) {
        failLater(QStringLiteral("the server closed the connection inside the reply header"));
        return;
    }
    try {
        FileCompleted();
    } catch (const std::exception &e) {
        const QString reason = QString::fromLocal8Bit(e.what());
        abort();
        emit recordFailed(reason);
    }
}

void CHTTPGet::Socket_Error(qint16 Number, const QString &Description)
{
    if (m_aborted || m_failed || m_finished)
        return;
    const QString reason = describeSocketError(Number, Description);
    if (m_received == 0 || m_headerPending) {
        failLater(reason);
        return;
    }
    m_failed = true;
    m_socket->Close();
    discardPart();
    emit brokenOff(reason);
}

void CHTTPGet::failLater(const QString &reason)
{
    m_failed = true;
    m_socket->Close();
    discardPart();
    // Raised from the event loop: the owner may still be inside OpenURL when the failure is known.
    QTimer::singleShot(0, this, [this, reason] {
        if (!m_aborted)
            emit failed(m_host, reason);
    });
}

void CHTTPGet::FileCompleted()
{
    if (m_finished)
        return;
    m_finished = true;
    try {
        SaveResponse();
    } catch (...) {
        m_finished = false;
        throw;
    }
    m_socket->Close();
    emit TransferCompleted(m_header, QByteArray(), m_contentLength, BufferSize());
}

void CHTTPGet::abort()
{
    if (m_finished || m_aborted)
        return;
    m_aborted = true;
    m_socket->Close();
    discardPart();
}

void CHTTPGet::discardRecord()
{
    abort();
    discardPart();
    if (m_finished)
        QFile::remove(m_responseFile);
}

void CHTTPGet::appendToRecord(const QByteArray &chunk)
{
    if (!m_part) {
        m_part = std::make_unique<QFile>(partFile());
        if (!m_part->open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw RaisedError(
                75, kSource, QStringLiteral("cannot write %1: %2").arg(partFile(), m_part->errorString()));
    }
    if (m_part->write(chunk) != chunk.size())
        throw RaisedError(
            75, kSource, QStringLiteral("cannot write %1: %2").arg(partFile(), m_part->errorString()));
}

void CHTTPGet::SaveResponse()
{
    if (!m_part)
        appendToRecord(QByteArray());
    if (!m_part->flush())
        throw RaisedError(
            75, kSource, QStringLiteral("cannot write %1: %2").arg(partFile(), m_part->errorString()));
    m_part->close();
    m_part.reset();
    if (QFile::exists(m_responseFile) && !QFile::remove(m_responseFile))
        throw RaisedError(75, kSource, QStringLiteral("cannot replace %1").arg(m_responseFile));
    if (!QFile::rename(partFile(), m_responseFile))
        throw RaisedError(
            75, kSource, QStringLiteral("cannot rename %1 to %2").arg(partFile(), m_responseFile));
}

void CHTTPGet::discardPart()
{
    if (m_part) {
        m_part->close();
        m_part.reset();
        QFile::remove(partFile());
    }
}

#include "CRequest.h"

#include "MessageHead.h"
#include "RecordWriter.h"

#include <algorithm>
#include <limits>

namespace {

struct MethodWord {
    const char *word; // upper case
    qint16 type;
    bool needsBody; // sent without Content-Length or chunked coding, it is refused with 411
};

const MethodWord MethodWords[] = {
    { "GET", CRequest::TypeGet, false },
    { "POST", CRequest::TypePost, true },
    { "CONNECT", CRequest::TypeConnect, false },
    { "GETZ", CRequest::TypeGetz, false },
    { "HEAD", CRequest::TypeOther, false },
    { "PUT", CRequest::TypeOther, true },
    { "DELETE", CRequest::TypeOther, false },
    { "OPTIONS", CRequest::TypeOther, false },
    { "TRACE", CRequest::TypeOther, false },
    { "PATCH", CRequest::TypeOther, true },
};
constexpr qsizetype LongestMethod = 7;

const MethodWord *findMethod(QByteArrayView token)
{
    const QByteArray upper = token.toByteArray().toUpper();
    for (const MethodWord &m : MethodWords) {
        if (upper == m.word)
            return &m;
    }
    return nullptr;
}

// HTTP-version = "HTTP/" DIGIT "." DIGIT, case-sensitive (RFC 9112 section 2.3).
bool isVersion(QByteArrayView v)
{
    return v.size() == 8 && v.startsWith("HTTP/") && v[5] >= '0' && v[5] <= '9' && v[6] == '.' && v[7] >= '0'
        && v[7] <= '9';
}

} // namespace

void CRequest::setRequestFile(const QString &Filename)
{
    m_requestFile = Filename;
}

QString CRequest::RequestFile() const
{
    return m_requestFile;
}

const QByteArray &CRequest::Request() const
{
    return m_request;
}

qint16 CRequest::RequestType() const
{
    return m_requestType;
}

void CRequest::setPage(const QString &myPage)
{
    m_page = myPage;
}

QString CRequest::page() const
{
    return m_page;
}

void CRequest::setStatus(qint16 st)
{
    m_status = st;
}

qint16 CRequest::Status() const
{
    return m_status;
}

qint32 CRequest::ContentLength() const
{
    return m_contentLength;
}

qint32 CRequest::TotalBytes() const
{
    return m_totalBytes;
}

qint32 CRequest::HeaderLength() const
{
    return m_headerLength;
}

qint32 CRequest::PacketCount() const
{
    return m_packetCount;
}

int CRequest::refusalCode() const
{
    return m_status == StatusRefused ? m_refusalCode : 0;
}

QString CRequest::refusalReason() const
{
    return m_status == StatusRefused ? m_refusalReason : QString();
}

QByteArray CRequest::method() const
{
    return m_method;
}

const std::optional<HttpTarget> &CRequest::target() const
{
    return m_target;
}

bool CRequest::chunked() const
{
    return m_body == Body::Chunked;
}

bool CRequest::http10() const
{
    return m_http10;
}

// RFC 9112 section 9.3: HTTP/1.1 stays open unless asked to close; HTTP/1.0 only when asked.
bool CRequest::keepAlive() const
{
    return m_http10 ? m_connectionTokens.contains("keep-alive") : !m_connectionTokens.contains("close");
}

bool CRequest::wantsUpgrade() const
{
    return m_upgradeField && m_connectionTokens.contains("upgrade");
}

const QByteArray &CRequest::excess() const
{
    return m_excess;
}

QByteArray CRequest::takeExcess()
{
    return std::exchange(m_excess, QByteArray());
}

qint16 CRequest::BufferData(QByteArray temp)
{
    // Once complete or refused, the request is what it is until the owner resets Status; more
    // bytes must neither turn a refusal into a forwarded request nor rewrite the record.
    if (m_status == StatusComplete || m_status == StatusRefused)
        return m_status;
    if (temp.isEmpty())
        return m_status;
    if (m_status == StatusNone && m_packetCount > 0)
        startAfresh();

    if (m_request.isEmpty())
        m_request = std::move(temp);
    else
        m_request += temp;
    m_totalBytes = static_cast<qint32>(qMin<qsizetype>(m_request.size(), std::numeric_limits<qint32>::max()));
    m_status = StatusReceiving;
    ++m_packetCount;

    if (!m_headerComplete && !scanHeader())
        return m_status;
    if (m_headerComplete)
        return ProcessRequest();
    return m_status;
}

// Looks at each header byte once, in arrival order, so that a fault is found at the same byte
// however the request was cut into chunks.
bool CRequest::scanHeader()
{
    const qsizetype limit = qMin<qsizetype>(m_request.size(), MaxHeaderLength);
    for (; m_scanned < limit; ++m_scanned) {
        const qsizetype i = m_scanned;
        const char c = m_request.at(i);
        if (m_scan == Scan::Method) {
            if (c == ' ') {
                const MethodWord *word = findMethod(QByteArrayView(m_request).first(i));
                if (i == 0)
                    return reject(400, QStringLiteral("Malformed request line"));
                if (!word) {
                    m_scan = Scan::UnknownMethod;
                    continue;
                }
                m_method = m_request.first(i);
                m_requestType = word->type;
                m_scan = Scan::Header;
            } else if (!MessageHead::isTokenChar(c)) {
                return reject(400, QStringLiteral("Malformed request line"));
            } else if (i >= LongestMethod) {
                m_scan = Scan::UnknownMethod;
            }
            continue;
        }
        // An unknown method in a well-formed request line is one this proxy does not implement;
        // any other line is not a request at all.
        if (m_scan == Scan::UnknownMethod) {
            if (c != '\n')
                continue;
            const QList<QByteArray> words = m_request.first(i).split(' ');
            const bool wellFormed = words.size() == 3 && words[0].size() > 0
                && std::all_of(words[0].begin(), words[0].end(), MessageHead::isTokenChar)
                && words[1].size() > 0
                && std::none_of(words[1].begin(), words[1].end(),
                    [](char t) { return static_cast<unsigned char>(t) < 0x21 || t == 0x7f; })
                && words[2].endsWith('\r') && isVersion(words[2].chopped(1));
            return reject(wellFormed ? 501 : 400,
                wellFormed ? QStringLiteral("Unrecognised method")
                           : QStringLiteral("Malformed request line"));
        }
        if (c == '\0')
            return reject(400, QStringLiteral("NUL byte in request header"));
        const char previous = m_request.at(i - 1);
        if (previous == '\r' && c != '\n')
            return reject(400, QStringLiteral("Bare CR in request header"));
        if (c == '\n') {
            if (previous != '\r')
                return reject(400, QStringLiteral("Bare LF in request header"));
            if (i >= 3 && m_request.at(i - 2) == '\n') {
                m_headerComplete = true;
                m_scan = Scan::Done;
                m_scanned = i + 1;
                return true;
            }
        }
    }
    if (m_request.size() >= MaxHeaderLength)
        return reject(431, QStringLiteral("Request header too large"));
    return true;
}

qint16 CRequest::ProcessRequest()
{
    if (m_status == StatusRefused || m_status == StatusComplete || !m_headerComplete)
        return m_status;

    if (m_headerLength == 0) {
        if (!parseHeader())
            return m_status;
        m_headerLength = static_cast<qint32>(m_scanned);
    }

    const qsizetype bodyBytes = m_request.size() - m_headerLength;
    switch (m_body) {
    case Body::None:
        complete(m_headerLength);
        break;
    case Body::Length:
        if (bodyBytes >= m_contentLength)
            complete(m_headerLength + m_contentLength);
        break;
    case Body::Chunked: {
        qsizetype used = 0;
        const QByteArrayView fresh = QByteArrayView(m_request).sliced(m_headerLength + m_bodyScanned);
        const ChunkedBody::Verdict verdict = m_chunks->feed(fresh, used);
        m_bodyScanned += used;
        if (verdict == ChunkedBody::Verdict::Complete)
            complete(m_headerLength + m_bodyScanned);
        else if (verdict == ChunkedBody::Verdict::Malformed)
            refuse(400, QStringLiteral("Malformed chunked body"));
        else if (verdict == ChunkedBody::Verdict::TooLarge || bodyBytes >= MaxContentLength)
            refuse(413, QStringLiteral("Request body too large"));
        break;
    }
    }
    return m_status;
}

// The header has ended: reads the request line and the fields as fields and settles the framing.
bool CRequest::parseHeader()
{
    const MessageHead head
        = MessageHead::read(QByteArrayView(m_request).first(m_scanned), MessageHead::Reading::Strict);
    const QByteArrayView line = head.startLine();

    const qsizetype targetStart = m_method.size() + 1;
    const qsizetype targetEnd = line.indexOf(' ', targetStart);
    if (targetEnd <= targetStart || line.indexOf(' ', targetEnd + 1) >= 0)
        return reject(400, QStringLiteral("Malformed request line"));
    const QByteArrayView targetText = line.sliced(targetStart, targetEnd - targetStart);
    const QByteArrayView version = line.sliced(targetEnd + 1);
    for (const char c : targetText) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f)
            return reject(400, QStringLiteral("Malformed request target"));
    }
    if (!isVersion(version))
        return reject(400, QStringLiteral("Malformed request line"));
    if (version[5] != '1')
        return reject(505, QStringLiteral("HTTP version not supported"));
    m_http10 = version == "HTTP/1.0";
    ParsePage(targetText.toByteArray());

    QByteArray lengthSeen;
    bool lengthConflict = false;
    QList<QByteArray> codings;
    int hosts = 0;
    for (const MessageHead::Field &field : head.fields()) {
        if (field.is("content-length")) {
            // A list of equal values is one length (RFC 9110 section 8.6); anything else is two.
            for (const QByteArrayView digits : head.elements(field.value)) {
                if (digits.isEmpty())
                    return reject(400, QStringLiteral("Malformed Content-Length"));
                for (const char c : digits) {
                    if (c < '0' || c > '9')
                        return reject(400, QStringLiteral("Malformed Content-Length"));
                }
                QByteArrayView significant = digits;
                while (significant.size() > 1 && significant.front() == '0')
                    significant = significant.sliced(1);
                if (!lengthSeen.isEmpty() && lengthSeen != significant)
                    lengthConflict = true;
                lengthSeen = significant.toByteArray();
            }
        } else if (field.is("transfer-encoding")) {
            head.addElements(field.value, codings);
        } else if (field.is("host")) {
            ++hosts;
        } else if (field.is("connection") || field.is("proxy-connection")) {
            head.addElements(field.value, m_connectionTokens);
        } else if (field.is("upgrade")) {
            m_upgradeField = true;
        }
    }
    // The reading stops at a faulty line; the fields before it are judged first, as they came first.
    if (!head.refusal().isEmpty())
        return reject(400, head.refusal());

    if (m_requestType == TypeConnect) {
        QString why;
        m_target = HttpTarget::fromAuthority(targetText, &why);
        if (!m_target)
            return reject(400, why);
        // What follows a CONNECT header is tunnel data, whatever the header declares.
        return true;
    }
    if (lengthConflict)
        return reject(400, QStringLiteral("Conflicting Content-Length fields"));
    if (!lengthSeen.isEmpty() && !codings.isEmpty())
        return reject(400, QStringLiteral("Both Content-Length and Transfer-Encoding"));
    if (!codings.isEmpty()) {
        // RFC 9112 sections 6.1 and 6.3: chunked must be the final coding, applied once, and an
        // HTTP/1.0 message with Transfer-Encoding has faulty framing.
        if (m_http10)
            return reject(400, QStringLiteral("Transfer-Encoding in an HTTP/1.0 request"));
        if (codings.last() != "chunked" || codings.count("chunked") != 1)
            return reject(400, QStringLiteral("Transfer-Encoding without final chunked coding"));
    }
    if (hosts > 1)
        return reject(400, QStringLiteral("Several Host fields"));
    if (lengthSeen.size() > 9 || (!lengthSeen.isEmpty() && lengthSeen.toInt() >= MaxContentLength))
        return reject(413, QStringLiteral("Request body too large"));
    QString why;
    if (m_origin) {
        // Inside a decrypted tunnel the server is the tunnel's: the target is its path.
        if (!targetText.startsWith('/'))
            return reject(400, QStringLiteral("Target is not a path on the tunnel's server"));
        m_target = m_origin;
        m_target->path = targetText.toByteArray();
        const bool defaultPort = m_origin->port == 443;
        const QString host = m_origin->host.contains(QLatin1Char(':'))
            ? QLatin1Char('[') + m_origin->host + QLatin1Char(']')
            : m_origin->host;
        ParsePage(QStringLiteral("https://%1%2")
                      .arg(host, defaultPort ? QString() : QStringLiteral(":%1").arg(m_origin->port))
                      .toLatin1()
            + targetText.toByteArray());
    } else if (targetText.startsWith('/')) {
        // A request for the proxy itself (its set-up page): the target names no server.
        m_target = HttpTarget();
        m_target->path = targetText.toByteArray();
    } else {
        m_target = HttpTarget::fromAbsolute(targetText, &why);
        if (!m_target)
            return reject(400, why);
    }

    if (!codings.isEmpty()) {
        m_body = Body::Chunked;
        m_chunks.emplace(MaxContentLength);
    } else if (!lengthSeen.isEmpty()) {
        m_body = Body::Length;
        m_contentLength = lengthSeen.toInt();
    } else if (findMethod(m_method)->needsBody) {
        refuse(411, QStringLiteral("Length required"));
        SaveRequest();
        return false;
    }
    return true;
}

void CRequest::complete(qsizetype end)
{
    // Only the request's own bytes are copied: the buffer it was given goes on as the excess, its
    // front dropped in place.
    m_excess = std::exchange(m_request, m_request.first(end));
    m_excess.remove(0, end);
    m_totalBytes = static_cast<qint32>(m_request.size());
    m_status = StatusComplete;
    SaveRequest();
}

QString CRequest::fullUrl() const
{
    // Browsers send UTF-8; anything else is shown a byte per character.
    return QUtf8StringView(m_url).isValidUtf8() ? QString::fromUtf8(m_url) : QString::fromLatin1(m_url);
}

void CRequest::ParsePage(const QByteArray &text)
{
    m_url = text;
    QByteArray target = text;
    const qsizetype query = target.indexOf('?');
    if (query >= 0)
        target.truncate(query);
    if (target.startsWith('/'))
        target.remove(0, 1);
    m_page = QString::fromLatin1(target);
}

void CRequest::setRecordHead(const QByteArray &head)
{
    m_recordHead = head;
}

void CRequest::SaveRequest()
{
    if (m_requestFile.isEmpty())
        return;
    const QByteArray record = m_recordHead.isEmpty()
        ? m_request
        : m_recordHead + m_request.sliced(qMin<qsizetype>(m_headerLength, m_request.size()));
    RecordWriter::instance().write(
        m_requestFile, record, [handler = m_recordFailed](bool ok, const QString &error) {
            if (!ok && handler)
                handler(error);
        });
}

QString CRequest::check(const QByteArray &message, const std::optional<HttpTarget> &origin)
{
    CRequest request;
    if (origin)
        request.setOrigin(*origin);
    request.BufferData(message);
    if (request.Status() == StatusRefused)
        return request.refusalReason();
    if (request.Status() != StatusComplete)
        return QStringLiteral("Incomplete request: the header or the body is cut short");
    if (!request.excess().isEmpty())
        return QStringLiteral("Bytes after the end of the request");
    if (request.RequestType() == TypeConnect)
        return QStringLiteral("A tunnel cannot be sent on its own");
    if (request.RequestType() == TypeUnknown || !request.target())
        return QStringLiteral("Malformed request");
    if (request.target()->host.isEmpty())
        return QStringLiteral("No host in the request");
    return QString();
}

void CRequest::setOrigin(const HttpTarget &origin)
{
    m_origin = origin;
}

const std::function<void(const QString &)> &CRequest::recordFailed() const
{
    return m_recordFailed;
}

void CRequest::setRecordFailed(std::function<void(const QString &)> handler)
{
    m_recordFailed = std::move(handler);
}

bool CRequest::reject(int code, const QString &reason)
{
    refuse(code, reason);
    return false;
}

qint16 CRequest::refuse(int code, const QString &reason)
{
    m_status = StatusRefused;
    m_refusalCode = code;
    m_refusalReason = reason;
    return m_status;
}

void CRequest::startAfresh()
{
    const QString file = m_requestFile;
    const QByteArray carried = m_excess;
    auto handler = std::move(m_recordFailed);
    const std::optional<HttpTarget> origin = m_origin;
    *this = CRequest();
    m_requestFile = file;
    m_request = carried;
    m_recordFailed = std::move(handler);
    m_origin = origin;
}

#include "CRequest.h"

#include "RaisedError.h"

#include <QFile>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

const QByteArray HeaderEnd = QByteArrayLiteral("\r\n\r\n");
const QByteArray LengthField = QByteArrayLiteral("content-length:");

struct MethodWord {
    const char *word; // upper case, compared with the first word.size() characters
    qint16 type;
    qsizetype pageStart; // 0-based offset of the page in the first line
};

// Tried in this order; "GET " carries its blank so that "GETZ" is not taken for a GET.
const MethodWord MethodWords[] = {
    { "POST", CRequest::TypePost, 5 },
    { "GET ", CRequest::TypeGet, 4 },
    { "GETZ", CRequest::TypeGetz, 5 },
    { "CONNECT ", CRequest::TypeConnect, 8 },
};

const MethodWord *recogniseMethod(const QByteArray &chunk)
{
    for (const MethodWord &m : MethodWords) {
        const QByteArray word(m.word);
        if (chunk.size() >= word.size() && chunk.first(word.size()).toUpper() == word)
            return &m;
    }
    return nullptr;
}

const MethodWord *methodForType(qint16 type)
{
    for (const MethodWord &m : MethodWords) {
        if (m.type == type)
            return &m;
    }
    return nullptr;
}

enum class LengthReading { Ok, Negative, TooLarge };

// Reads a number the lenient way: blanks and tabs are skipped wherever they are, then an
// optional sign, digits, a decimal point and an exponent; anything else ends the number.
// Text without a leading number reads as 0. The result is rounded to the nearest whole number.
LengthReading readLength(QByteArrayView text, qint32 &value)
{
    value = 0;
    bool negative = false;
    std::string whole, fraction;
    bool pointSeen = false;
    bool signAllowed = true;
    qsizetype i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    for (;; ++i) {
        skipBlanks();
        if (i >= text.size())
            break;
        const char c = text[i];
        if (signAllowed && (c == '+' || c == '-')) {
            negative = c == '-';
        } else if (c >= '0' && c <= '9') {
            (pointSeen ? fraction : whole) += c;
        } else if (c == '.' && !pointSeen) {
            pointSeen = true;
        } else {
            break;
        }
        signAllowed = false;
    }
    if (whole.empty() && fraction.empty())
        return LengthReading::Ok;

    // The exponent counts only with at least one digit ("12e" reads as 12).
    qint64 exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        skipBlanks();
        bool expNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            expNegative = text[i] == '-';
            ++i;
        }
        for (skipBlanks(); i < text.size() && text[i] >= '0' && text[i] <= '9'; skipBlanks()) {
            exponent = std::min<qint64>(exponent * 10 + (text[i] - '0'), 1000000);
            ++i;
        }
        if (expNegative)
            exponent = -exponent;
    }

    // Decide by magnitude first, so that no digit string or exponent can overflow a double.
    const qsizetype firstWhole = qsizetype(whole.find_first_not_of('0'));
    qint64 magnitude; // floor(log10(value)) before the exponent
    if (firstWhole != qsizetype(std::string::npos)) {
        magnitude = qint64(whole.size()) - firstWhole - 1;
    } else {
        const size_t firstFraction = fraction.find_first_not_of('0');
        if (firstFraction == std::string::npos)
            return LengthReading::Ok;
        magnitude = -qint64(firstFraction) - 1;
    }
    magnitude += exponent;
    if (magnitude < -1)
        return LengthReading::Ok; // below 0.1: rounds to 0 whatever the sign
    if (magnitude >= 10)
        return negative ? LengthReading::Negative : LengthReading::TooLarge;

    const std::string number
        = (whole.empty() ? std::string("0") : whole) + '.' + fraction + 'e' + std::to_string(exponent);
    double parsed = 0;
    std::from_chars(number.data(), number.data() + number.size(), parsed);
    const double rounded = std::nearbyint(negative ? -parsed : parsed);
    if (rounded < 0)
        return LengthReading::Negative;
    if (rounded > double(std::numeric_limits<qint32>::max()))
        return LengthReading::TooLarge;
    value = static_cast<qint32>(rounded);
    return LengthReading::Ok;
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

qint16 CRequest::BufferData(const QByteArray &temp)
{
    // Once complete or refused, the request is what it is until the owner resets Status; more
    // bytes must neither turn a refusal into a forwarded request nor rewrite the record.
    if (m_status == StatusComplete || m_status == StatusRefused)
        return m_status;
    // An empty read carries nothing to recognise; taking it would fix the type at "unknown".
    if (temp.isEmpty())
        return m_status;

    if (m_status == StatusNone) {
        if (m_packetCount > 0)
            startAfresh();
        if (const MethodWord *method = recogniseMethod(temp)) {
            m_requestType = method->type;
            ParsePage(temp.size() > method->pageStart ? temp.sliced(method->pageStart) : QByteArray());
        } else if (temp.size() > 4) {
            return refuse(400, QStringLiteral("Unrecognised method"));
        }
    }

    m_request += temp;
    m_totalBytes = static_cast<qint32>(m_request.size());
    m_status = StatusReceiving;
    ++m_packetCount;

    if (!m_headerComplete) {
        const qsizetype from = std::max<qsizetype>(0, m_headerSearchFrom - (HeaderEnd.size() - 1));
        const qsizetype end = m_request.indexOf(HeaderEnd, from);
        if (end >= 0) {
            m_headerComplete = true;
            m_headerEnd = end + HeaderEnd.size();
        } else {
            m_headerSearchFrom = m_request.size();
        }
    }
    if (!checkHeaderBytes())
        return m_status;
    if (m_headerComplete)
        return ProcessRequest();
    if (m_request.size() >= MaxHeaderLength)
        return refuse(431, QStringLiteral("Request header too large"));
    return m_status;
}

qint16 CRequest::ProcessRequest()
{
    if (m_status == StatusRefused)
        return m_status;

    if (m_headerLength == 0) {
        const qsizetype end
            = m_headerComplete ? m_headerEnd - HeaderEnd.size() : m_request.indexOf(HeaderEnd);
        if (end < 0) {
            if (m_request.size() >= MaxHeaderLength)
                return refuse(431, QStringLiteral("Request header too large"));
            return m_status;
        }
        m_headerComplete = true;
        m_headerEnd = end + HeaderEnd.size();
        if (m_headerEnd > MaxHeaderLength)
            return refuse(431, QStringLiteral("Request header too large"));
        if (!checkHeaderBytes())
            return m_status;
        if (!checkRequestLine())
            return m_status;

        // Only the header is searched: a body that happens to contain the field name must not
        // change the length depending on how the bytes were split into chunks.
        const QByteArray header = m_request.first(m_headerEnd);
        const QByteArray lower = header.toLower();
        const qsizetype field = lower.indexOf(LengthField);
        if (field >= 0) {
            const qsizetype lineEnd = lower.indexOf("\r\n", field + 1);
            const qsizetype valueStart = field + LengthField.size();
            qint32 length = 0;
            switch (readLength(QByteArrayView(header).sliced(valueStart, lineEnd - valueStart), length)) {
            case LengthReading::Negative:
                return refuse(400, QStringLiteral("Negative content length"));
            case LengthReading::TooLarge:
                return refuse(413, QStringLiteral("Request body too large"));
            case LengthReading::Ok:
                break;
            }
            m_contentLength = length;
            if (m_contentLength >= MaxContentLength)
                return refuse(413, QStringLiteral("Request body too large"));
        }
        m_headerLength = static_cast<qint32>(m_headerEnd);
    }

    const qint32 bodyBytes = m_totalBytes - m_headerLength;
    if (m_requestType == TypePost && m_contentLength == 0) {
        refuse(411, QStringLiteral("Length required"));
        SaveRequest();
    } else if (m_requestType != TypePost || bodyBytes >= m_contentLength) {
        m_status = StatusComplete;
        SaveRequest();
    }
    return m_status;
}

void CRequest::ParsePage(const QByteArray &text)
{
    QByteArray target = text;
    qsizetype cut = target.indexOf(' ');
    if (cut < 0)
        cut = target.indexOf("\r\n");
    if (cut >= 0)
        target.truncate(cut);
    cut = target.indexOf('?');
    if (cut >= 0)
        target.truncate(cut);
    if (target.startsWith('/'))
        target.remove(0, 1);
    m_page = QString::fromLatin1(target);
}

void CRequest::SaveRequest()
{
    QFile file(m_requestFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(m_request) != m_request.size()
        || !file.flush()) {
        throw RaisedError(75, QStringLiteral("CRequest"), QStringLiteral("Path/File access error"));
    }
    file.close();
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
    *this = CRequest();
    m_requestFile = file;
}

bool CRequest::checkHeaderBytes()
{
    // A NUL or a CR without its LF lets the proxy and the server read the header differently.
    const qsizetype limit
        = std::min<qsizetype>(m_headerComplete ? m_headerEnd : m_request.size(), MaxHeaderLength);
    for (; m_checkedBytes < limit; ++m_checkedBytes) {
        const char c = m_request.at(m_checkedBytes);
        if (c == '\0') {
            refuse(400, QStringLiteral("NUL byte in request header"));
            return false;
        }
        if (c == '\r') {
            // Its LF may come with the next chunk; past the bound it no longer matters.
            if (m_checkedBytes + 1 >= limit)
                break;
            if (m_request.at(m_checkedBytes + 1) != '\n') {
                refuse(400, QStringLiteral("Bare CR in request header"));
                return false;
            }
        }
    }
    return true;
}

bool CRequest::checkRequestLine()
{
    const MethodWord *method = methodForType(m_requestType);
    if (!method)
        return true; // not recognised: the owner refuses it by its type
    const qsizetype lineEnd = m_request.indexOf("\r\n");
    const QByteArray line = m_request.first(lineEnd);
    const qsizetype targetStart = method->pageStart;
    const qsizetype targetEnd = line.indexOf(' ', targetStart);
    if (line.size() <= targetStart || line.at(targetStart - 1) != ' ' || targetEnd <= targetStart) {
        refuse(400, QStringLiteral("Malformed request line"));
        return false;
    }
    // The first chunk may have carried only part of the target.
    ParsePage(m_request.sliced(targetStart));
    return true;
}

#include "Http2Message.h"

#include "ChunkedBody.h"
#include "HopByHop.h"
#include "MessageHead.h"

#include <cctype>
#include <limits>

namespace {

void appendFields(QByteArray &head, const Http2Message::Fields &fields)
{
    for (const Http2Message::Field &field : fields) {
        head += field.name;
        head += ": ";
        head += field.value;
        head += "\r\n";
    }
    head += "\r\n";
}

// The data of a chunked body that ChunkedBody has found well-formed and complete: sizes and
// data in turn, extensions and trailer fields left out.
QByteArray decodeChunked(QByteArrayView body)
{
    QByteArray out;
    qsizetype at = 0;
    while (at < body.size()) {
        const qsizetype lineEnd = body.indexOf("\r\n", at);
        QByteArrayView size = body.sliced(at, lineEnd - at);
        for (qsizetype i = 0; i < size.size(); ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(size[i]))) {
                size.truncate(i);
                break;
            }
        }
        const qsizetype length = size.toByteArray().toLongLong(nullptr, 16);
        if (length == 0)
            break;
        out += body.sliced(lineEnd + 2, length);
        at = lineEnd + 2 + length + 2;
    }
    return out;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 205:
        return "Reset Content";
    case 206:
        return "Partial Content";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 416:
        return "Range Not Satisfiable";
    case 421:
        return "Misdirected Request";
    case 422:
        return "Unprocessable Content";
    case 425:
        return "Too Early";
    case 428:
        return "Precondition Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 451:
        return "Unavailable For Legal Reasons";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        break;
    }
    // Browsers ignore the phrase; one by class keeps the line readable.
    switch (status / 100) {
    case 1:
        return "Informational";
    case 2:
        return "Success";
    case 3:
        return "Redirection";
    case 4:
        return "Client Error";
    default:
        return "Server Error";
    }
}

} // namespace

QByteArray Http2Message::requestHead(QByteArrayView method, QByteArrayView path, const Fields &fields)
{
    QByteArray head;
    head.reserve(256);
    head += method;
    head += ' ';
    head += path;
    head += ' ';
    head += Version;
    head += "\r\n";
    appendFields(head, fields);
    return head;
}

QByteArray Http2Message::replyHead(int status, const Fields &fields)
{
    QByteArray head = Version.toByteArray() + ' ' + QByteArray::number(status) + "\r\n";
    appendFields(head, fields);
    return head;
}

Http2Message::Fields Http2Message::fromHttp11(const MessageHead &head)
{
    const QList<QByteArray> named = head.list("connection");
    Fields fields;
    fields.reserve(head.fields().size());
    for (const MessageHead::Field &field : head.fields()) {
        const QByteArray name = field.name.toByteArray().toLower();
        if (name == "te") {
            if (field.value.compare("trailers", Qt::CaseInsensitive) == 0)
                fields.append({ name, "trailers" });
            continue;
        }
        if (name == "host" || HopByHop::contains(name) || named.contains(name))
            continue;
        fields.append({ name, field.value.toByteArray() });
    }
    return fields;
}

std::optional<Http2Message::Request> Http2Message::fromHttp11Request(const QByteArray &request, QString *why)
{
    const auto refuse = [why](const QString &reason) -> std::optional<Request> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const MessageHead head = MessageHead::read(request, MessageHead::Reading::Lenient);
    const QByteArrayView start = head.startLine();
    const qsizetype methodEnd = start.indexOf(' ');
    const qsizetype targetEnd = start.lastIndexOf(' ');
    if (head.size() < 0 || methodEnd <= 0 || targetEnd <= methodEnd)
        return refuse(QStringLiteral("the request head cannot be read"));
    Request out;
    out.method = start.first(methodEnd).toByteArray();
    out.path = start.sliced(methodEnd + 1, targetEnd - methodEnd - 1).toByteArray();
    out.authority = head.value("host").toByteArray();
    if (out.authority.isEmpty())
        return refuse(QStringLiteral("the request has no Host"));
    out.fields = fromHttp11(head);
    const QByteArrayView body = QByteArrayView(request).sliced(head.size());
    if (head.list("transfer-encoding").contains("chunked")) {
        ChunkedBody chunked(std::numeric_limits<qint64>::max());
        qsizetype used = 0;
        if (chunked.feed(body, used) != ChunkedBody::Verdict::Complete)
            return refuse(QStringLiteral("the request's chunked body is malformed or unfinished"));
        out.body = decodeChunked(body.first(used));
    } else {
        out.body = body.toByteArray();
    }
    return out;
}

QByteArray Http2Message::http11ReplyHead(int status, const Fields &fields, bool headRequest, bool &chunked)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    bool sized = false;
    for (const Field &field : fields) {
        // HTTP/2 has no connection-specific fields (RFC 9113 section 8.2.2); one that came anyway
        // must not frame the reply the browser gets.
        if (HopByHop::contains(field.name))
            continue;
        sized = sized || field.name == "content-length";
        head += field.name + ": " + field.value + "\r\n";
    }
    const bool bodiless = headRequest || status < 200 || status == 204 || status == 304;
    chunked = !bodiless && !sized;
    if (chunked)
        head += "transfer-encoding: chunked\r\n";
    head += "\r\n";
    return head;
}

QByteArray Http2Message::chunk(QByteArrayView data)
{
    if (data.isEmpty())
        return "0\r\n\r\n";
    return QByteArray::number(data.size(), 16) + "\r\n" + data.toByteArray() + "\r\n";
}

bool Http2Message::isHttp2(QByteArrayView message)
{
    const qsizetype end = message.indexOf('\n');
    QByteArrayView line = end < 0 ? message : message.first(end);
    if (line.endsWith('\r'))
        line.chop(1);
    return line.endsWith(" " + Version.toByteArray());
}

QByteArray Http2Message::asHttp11Request(const QByteArray &message, QByteArrayView authority)
{
    if (!isHttp2(message))
        return message;
    const MessageHead head = MessageHead::read(message, MessageHead::Reading::Lenient);
    if (head.size() < 0)
        return message;
    const QByteArrayView body = QByteArrayView(message).sliced(head.size());
    QByteArray start = head.startLine().toByteArray();
    start.chop(Version.size());
    QByteArray out = start + "HTTP/1.1\r\n";
    if (!authority.isEmpty())
        out += "host: " + authority.toByteArray() + "\r\n";
    QByteArray cookies;
    for (const MessageHead::Field &field : head.fields()) {
        if (field.is("cookie")) {
            cookies += (cookies.isEmpty() ? "" : "; ") + field.value.toByteArray();
            continue;
        }
        if (field.is("host") && !authority.isEmpty())
            continue;
        out += field.line.toByteArray() + "\r\n";
    }
    if (!cookies.isEmpty())
        out += "cookie: " + cookies + "\r\n";
    if (!body.isEmpty() && !head.contains("content-length") && !head.contains("transfer-encoding"))
        out += "content-length: " + QByteArray::number(body.size()) + "\r\n";
    out += "\r\n";
    out += body;
    return out;
}

std::vector<nghttp2_nv> Http2Message::nameValues(const Fields &pseudo, const Fields &fields)
{
    std::vector<nghttp2_nv> out;
    out.reserve(size_t(pseudo.size() + fields.size()));
    for (const Fields *list : { &pseudo, &fields })
        for (const Field &field : *list)
            out.push_back({ reinterpret_cast<uint8_t *>(const_cast<char *>(field.name.constData())),
                reinterpret_cast<uint8_t *>(const_cast<char *>(field.value.constData())),
                size_t(field.name.size()), size_t(field.value.size()), NGHTTP2_NV_FLAG_NONE });
    return out;
}

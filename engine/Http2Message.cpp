#include "Http2Message.h"

#include "HopByHop.h"
#include "MessageHead.h"

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
    if (!head.contains("host"))
        out += "host: " + authority.toByteArray() + "\r\n";
    QByteArray cookies;
    for (const MessageHead::Field &field : head.fields()) {
        if (field.is("cookie")) {
            cookies += (cookies.isEmpty() ? "" : "; ") + field.value.toByteArray();
            continue;
        }
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

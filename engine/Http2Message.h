#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <nghttp2/nghttp2.h>

#include <optional>
#include <vector>

class MessageHead;

// HTTP/2 messages as the records show them, and HTTP/1.1 heads as HTTP/2 carries them.
//
// An HTTP/2 message is recorded as HTTP/1.1-shaped text, not as its frames: a start line built
// from the pseudo-header fields with the version "HTTP/2", the header fields as they came, in
// order, then the body bytes exactly, without DATA framing. The viewer, the filter, the exports
// and resending read it as they read any record.
class Http2Message
{
public:
    struct Field {
        QByteArray name;
        QByteArray value;
    };
    using Fields = QList<Field>;

    // The version word of recorded HTTP/2 start lines.
    static constexpr QByteArrayView Version = "HTTP/2";

    // "GET /path HTTP/2", the fields and the blank line.
    static QByteArray requestHead(QByteArrayView method, QByteArrayView path, const Fields &fields);
    // "HTTP/2 200", the fields and the blank line.
    static QByteArray replyHead(int status, const Fields &fields);

    // The fields of an HTTP/1.1 head as HTTP/2 sends them: names in lower case, without the fields
    // that concern one HTTP/1.1 connection only (RFC 9113 section 8.2.2: Connection and the fields
    // it names, Keep-Alive, Proxy-Connection, Transfer-Encoding, Upgrade; TE unless "trailers"),
    // without Host, which goes as :authority, and without the proxy's own credentials.
    static Fields fromHttp11(const MessageHead &head);

    // A forwarded HTTP/1.1 request (origin form, with Host, body included) as HTTP/2 sends it.
    struct Request {
        QByteArray method;
        QByteArray authority;
        QByteArray path;
        Fields fields;
        QByteArray body; // without transfer coding
    };
    // Empty, with the reason in why, when the head cannot be read, has no Host, or its chunked
    // body is malformed or unfinished.
    static std::optional<Request> fromHttp11Request(const QByteArray &request, QString *why = nullptr);

    // The HTTP/1.1 head a browser gets for an HTTP/2 reply: the status with its reason phrase and
    // the fields without those of one connection. The body keeps a Content-Length the server
    // gave; otherwise it goes chunked (chunked becomes true), unless the reply has no body:
    // answers to HEAD, 1xx, 204 and 304.
    static QByteArray http11ReplyHead(int status, const Fields &fields, bool headRequest, bool &chunked);
    // One chunk of a chunked body; the last chunk for empty data.
    static QByteArray chunk(QByteArrayView data);

    // The fields as nghttp2 takes them, the pseudo-header fields first; the entries point into both
    // lists, which must outlive them.
    static std::vector<nghttp2_nv> nameValues(const Fields &pseudo, const Fields &fields);

    // The record of a request holds an HTTP/2 start line.
    static bool isHttp2(QByteArrayView message);
    // A request recorded as HTTP/2 in the HTTP/1.1 form the server gets it in, both when it first
    // goes and when it is sent again: the version HTTP/1.1, a Host field for authority first (in
    // place of any Host field the request had, as :authority wins over Host), Cookie fields joined
    // into one after the others, and then a Content-Length for its body when it has one and names
    // none. Anything else is returned as it is.
    static QByteArray asHttp11Request(const QByteArray &message, QByteArrayView authority);
};

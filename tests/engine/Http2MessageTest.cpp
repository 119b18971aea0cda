#include "Http2Message.h"

#include <gtest/gtest.h>

namespace {

QByteArray joined(const Http2Message::Fields &fields)
{
    QByteArray out;
    for (const Http2Message::Field &field : fields)
        out += field.name + ':' + field.value + ';';
    return out;
}

// Guards against requests reaching an HTTP/2 server with a chunked body still coded, with the
// browser's hop-by-hop fields, or with a target or authority taken from the wrong place.
TEST(Http2Message, ForwardedRequestsBecomeHttp2Fields)
{
    struct Row {
        const char *name;
        QByteArray request;
        QByteArray method = {}, path = {}, authority = {}, fields = {}, body = {}; // no method: refused
    };
    const Row rows[] = {
        { "Get", "GET /a?q=1 HTTP/1.1\r\nHost: x.test:8443\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n",
            "GET", "/a?q=1", "x.test:8443", "accept:*/*;", "" },
        { "PostWithLength", "POST /p HTTP/1.1\r\nHost: x.test\r\nContent-Length: 3\r\n\r\nabc", "POST", "/p",
            "x.test", "content-length:3;", "abc" },
        { "ChunkedIsDecoded",
            "PUT /u HTTP/1.1\r\nHost: x.test\r\nTransfer-Encoding: chunked\r\nTE: trailers\r\n\r\n"
            "3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n",
            "PUT", "/u", "x.test", "te:trailers;", "abc0123456789" },
        { "UnfinishedChunked",
            "PUT /u HTTP/1.1\r\nHost: x.test\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nab" },
        { "NoHost", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n" },
    };
    for (const Row &row : rows) {
        const std::optional<Http2Message::Request> request = Http2Message::fromHttp11Request(row.request);
        ASSERT_EQ(request.has_value(), !row.method.isEmpty()) << row.name;
        if (!request)
            continue;
        EXPECT_EQ(QList<QByteArray>({ request->method, request->path, request->authority,
                      joined(request->fields), request->body }),
            QList<QByteArray>({ row.method, row.path, row.authority, row.fields, row.body }))
            << row.name;
    }
}

// Guards against a browser getting a reply it cannot frame: a body without length or chunks,
// a body where none may be, or connection fields an HTTP/2 server should not have sent.
TEST(Http2Message, RepliesAreFramedForHttp11)
{
    struct Row {
        const char *name;
        int status;
        Http2Message::Fields fields;
        bool head;
        QByteArray expected;
        bool chunked;
    };
    const Row rows[] = {
        { "LengthKept", 200, { { "content-length", "5" }, { "x-a", "1" } }, false,
            "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nx-a: 1\r\n\r\n", false },
        { "ChunkedWithoutLength", 404, { { "connection", "close" } }, false,
            "HTTP/1.1 404 Not Found\r\ntransfer-encoding: chunked\r\n\r\n", true },
        { "Head", 200, {}, true, "HTTP/1.1 200 OK\r\n\r\n", false },
        { "NoContent", 204, {}, false, "HTTP/1.1 204 No Content\r\n\r\n", false },
        { "NotModified", 304, { { "etag", "\"e\"" } }, false,
            "HTTP/1.1 304 Not Modified\r\netag: \"e\"\r\n\r\n", false },
    };
    for (const Row &row : rows) {
        bool chunked = !row.chunked;
        EXPECT_EQ(Http2Message::http11ReplyHead(row.status, row.fields, row.head, chunked), row.expected)
            << row.name;
        EXPECT_EQ(chunked, row.chunked) << row.name;
    }
}

} // namespace

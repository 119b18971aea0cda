#include "CurlRun.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"

#include <QFile>

#include <gtest/gtest.h>

// Each exchange through the proxy: what curl got, what the origin got, both record files, the
// history row and the access log. Guards against replies that never end on keep-alive origins,
// hop-by-hop headers leaking upstream, and browsers left waiting after the last byte.
TEST(ExchangeHttp, CurlExchangesAreRelayedRecordedAndReported)
{
    QList<QByteArray> manyChunks = { "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" };
    for (int i = 0; i < 60; ++i)
        manyChunks.append(QByteArray(97, static_cast<char>('a' + i % 26)) + QByteArray::number(i) + '\n');
    using enum FakeOrigin::Closing;
    const QByteArray created = "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok";
    const struct {
        const char *name;
        QList<QByteArray> reply;
        FakeOrigin::Closing closing;
        QString path;
        QByteArray postBody = {};
        QByteArray method = "GET";
        QStringList curlArgs = {};
    } cases[] = {
        { "keep-alive origin, GET with query",
            { "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nContent-Type: text/plain\r\n\r\n", "hello world" },
            WhenAsked, QStringLiteral("/a/b?x=1") },
        { "reply in many chunks", manyChunks, AfterReply, QStringLiteral("/many") },
        { "POST to keep-alive origin", { created }, WhenAsked, QStringLiteral("/form"),
            QByteArrayLiteral("name=value&bytes=\x01\x02\xff\r\n\r\nGET / HTTP/1.1"), "POST" },
        { "PATCH with a chunked body", { created }, WhenAsked, QStringLiteral("/patch"), "chunk\r\n0\r\n",
            "PATCH", { QStringLiteral("-XPATCH"), QStringLiteral("-HTransfer-Encoding: chunked") } },
        { "HEAD", { "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" }, WhenAsked, QStringLiteral("/head"), {},
            "HEAD", { QStringLiteral("-I") } },
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply(c.reply, c.closing);
        QStringList args = QStringList {
            QStringLiteral("-i"), QStringLiteral("--raw"), QStringLiteral("--proxy"), h.proxyUrl()
        } + c.curlArgs;
        if (!c.postBody.isEmpty()) {
            // Through a file, so that every byte reaches curl unchanged.
            QFile body(h.folder.path() + QStringLiteral("body.bin"));
            ASSERT_TRUE(body.open(QIODevice::WriteOnly) && body.write(c.postBody) == c.postBody.size());
            body.close();
            args += { QStringLiteral("--data-binary"), QStringLiteral("@") + body.fileName() };
        }
        const CurlResult curl = runCurl(args << origin.url(c.path));
        ASSERT_TRUE(h.waitUntilIdle());
        EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
        EXPECT_EQ(curl.out, origin.replyBytes());

        ASSERT_EQ(h.rowCount(), 1);
        const QStringList row = h.row(1);
        const QString requestFile = row.at(7), responseFile = row.at(8);
        EXPECT_EQ(h.folder.requestFiles(), QStringList({ responseFile, requestFile }));
        const QByteArray request = h.readRecord(requestFile);
        const QByteArray &method = c.method;
        // curl codes a chunked upload itself; what reaches the origin is what it sent us.
        const QByteArray sentBody = c.curlArgs.filter(QStringLiteral("chunked")).isEmpty()
            ? c.postBody
            : QByteArray::number(c.postBody.size(), 16) + "\r\n" + c.postBody + "\r\n0\r\n\r\n";
        EXPECT_TRUE(request.startsWith(method + ' ' + origin.url(c.path).toLatin1() + " HTTP/1.1\r\n"));
        EXPECT_TRUE(request.endsWith("\r\n\r\n" + sentBody)) << request.constData();
        EXPECT_EQ(h.readRecord(responseFile), origin.replyBytes());

        ASSERT_EQ(origin.requests.size(), 1);
        const QByteArray upstream = origin.requests.first();
        EXPECT_TRUE(upstream.startsWith(method + ' ' + c.path.toLatin1() + " HTTP/1.1\r\n"))
            << upstream.constData();
        // curl keeps its connection to the proxy, so the proxy keeps the one to the origin.
        EXPECT_TRUE(upstream.contains("\r\nConnection: keep-alive\r\n"));
        EXPECT_TRUE(upstream.endsWith("\r\n\r\n" + sentBody));

        const QString page = origin.url(c.path).section(QLatin1Char('?'), 0, 0);
        EXPECT_EQ(row,
            QStringList(
                { QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"), QString::fromLatin1(method), page,
                    ProxyHarness::number(request.size()), ProxyHarness::number(origin.replyBytes().size()),
                    QStringLiteral("DONE"), requestFile, responseFile }));
        const QStringList log = h.logLines().mid(1);
        const QString id = log.value(0).section(QStringLiteral(" - "), 1);
        EXPECT_EQ(log,
            QStringList({ QStringLiteral("Adding #1 - ") + id,
                QStringLiteral("1 - 127.0.0.1 - Requesting %1 - %2").arg(QString::fromLatin1(method), page),
                QStringLiteral("Received %1 for %2").arg(page, id), QStringLiteral("Removing #") + id }));
    }
}

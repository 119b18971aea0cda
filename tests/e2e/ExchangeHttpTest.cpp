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
    const QByteArray created = "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok";
    const struct {
        const char *name;
        QByteArray reply, path, method = "GET", body = {};
        QStringList curlArgs = {};
    } cases[] = {
        { "POST with a query", created, "/a/form?x=1", "POST",
            QByteArrayLiteral("name=value&bytes=\x01\x02\xff\r\n\r\nGET / HTTP/1.1") },
        { "PATCH with a chunked body", created, "/patch", "PATCH", "chunk\r\n0\r\n",
            { QStringLiteral("-XPATCH"), QStringLiteral("-HTransfer-Encoding: chunked") } },
        // A HEAD reply names a length but has no body: waiting for one leaves curl hanging.
        { "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "/head", "HEAD", {},
            { QStringLiteral("-I") } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ProxyHarness h;
        FakeOrigin origin;
        // The header and the body arrive apart.
        const qsizetype bodyStart = c.reply.indexOf("\r\n\r\n") + 4;
        origin.setReply({ c.reply.left(bodyStart), c.reply.mid(bodyStart) }, FakeOrigin::Closing::WhenAsked);
        QStringList args = QStringList {
            QStringLiteral("-i"), QStringLiteral("--raw"), QStringLiteral("-x"), h.proxyUrl()
        } + c.curlArgs;
        if (!c.body.isEmpty()) {
            // Through a file, so that every byte reaches curl unchanged.
            QFile body(h.folder.path() + QStringLiteral("body.bin"));
            ASSERT_TRUE(body.open(QIODevice::WriteOnly) && body.write(c.body) == c.body.size());
            body.close();
            args += { QStringLiteral("--data-binary"), QStringLiteral("@") + body.fileName() };
        }
        const QString url = origin.url(QString::fromLatin1(c.path)),
                      page = url.section(QLatin1Char('?'), 0, 0);
        const CurlResult curl = runCurl(args << url);
        ASSERT_TRUE(h.waitUntilIdle());
        EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
        EXPECT_EQ(curl.out, c.reply);

        ASSERT_EQ(h.rowCount(), 1);
        const QStringList row = h.row(1);
        EXPECT_EQ(h.folder.requestFiles(), QStringList({ row.at(8), row.at(7) }));
        const QByteArray request = h.readRecord(row.at(7)), upstream = origin.requests.value(0);
        // curl codes a chunked upload itself; what reaches the origin is what it sent us.
        const QByteArray sentBody = c.curlArgs.filter(QStringLiteral("chunked")).isEmpty()
            ? c.body
            : QByteArray::number(c.body.size(), 16) + "\r\n" + c.body + "\r\n0\r\n\r\n";
        EXPECT_TRUE(request.startsWith(c.method + ' ' + url.toLatin1() + " HTTP/1.1\r\n"));
        EXPECT_TRUE(request.endsWith("\r\n\r\n" + sentBody)) << request.constData();
        EXPECT_EQ(h.readRecord(row.at(8)), c.reply);
        EXPECT_TRUE(upstream.startsWith(c.method + ' ' + c.path + " HTTP/1.1\r\n")) << upstream.constData();
        // curl keeps its connection to the proxy, so the proxy keeps the one to the origin.
        EXPECT_TRUE(upstream.contains("\r\nConnection: keep-alive\r\n"));
        EXPECT_TRUE(upstream.endsWith("\r\n\r\n" + sentBody));

        EXPECT_EQ(row,
            QStringList({ QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"),
                QString::fromLatin1(c.method), page, ProxyHarness::number(request.size()),
                ProxyHarness::number(c.reply.size()), QStringLiteral("DONE"), row.at(7), row.at(8),
                QString::fromLatin1(c.reply.mid(9, 3)), url }));
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Received %1 for ").arg(page)).size(), 1);
    }
}

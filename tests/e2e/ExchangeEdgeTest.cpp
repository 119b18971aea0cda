#include "CHTTPGet.h"
#include "CProxyConnection.h"
#include "CurlRun.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "TlsOrigin.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace {

template<std::size_t N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QStringList withoutStart(const QStringList &log)
{
    return log.mid(1);
}

} // namespace

// Regression: the whole reply was held in memory and relayed without regard for the browser,
// so a large download read slowly grew the proxy without bound.
TEST(ExchangeEdge, LargeReplyToASlowReaderStaysBoundedAndIsRecordedWhole)
{
    constexpr qint64 bodySize = 64LL * 1024 * 1024;
    ProxyHarness h;
    FakeOrigin origin;
    const QByteArray header = "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(bodySize) + "\r\n\r\n";
    origin.setStreamedReply(header, bodySize);

    RawBrowser browser(h.port());
    browser.countOnly = true;
    browser.setReadPaused(true);
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    ASSERT_TRUE(connection);
    browser.send("GET " + origin.url(QStringLiteral("/big")).toLatin1() + " HTTP/1.1\r\nHost: x\r\n\r\n");

    ASSERT_TRUE(waitFor([&] { return connection->HTTPGet()->socket()->readPaused(); }, 20000))
        << "the fetcher never stopped reading for a browser that does not read";
    browser.setReadPaused(false);
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }, 60000));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(browser.receivedCount, header.size() + bodySize);
    EXPECT_GE(connection->readPauses(), 1);
    EXPECT_LE(connection->peakQueuedToBrowser(), 8 * CProxyConnection::RelayQueueBound);
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
    EXPECT_EQ(h.row(1).at(5), ProxyHarness::number(header.size() + bodySize));

    QFile record(h.folder.requests() + h.row(1).at(8));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    ASSERT_EQ(record.size(), header.size() + bodySize);
    EXPECT_EQ(record.read(header.size()), header);
    bool same = true;
    for (qint64 offset = 0; offset < bodySize && same; offset += 4 * 1024 * 1024) {
        const qint64 n = qMin<qint64>(4 * 1024 * 1024, bodySize - offset);
        same = record.read(n) == FakeOrigin::pattern(offset, n);
    }
    EXPECT_TRUE(same) << "reply record differs from what the origin sent";
}

// Regression: CONNECT was forwarded as a request to port 443, so no HTTPS site was reachable.
TEST(ExchangeEdge, ConnectTunnelsTlsAndRecordsBothSides)
{
    TlsOrigin tls;
    ASSERT_NE(tls.port(), 0) << "openssl s_server did not start";
    const QByteArray page = QByteArrayLiteral("hello over a tunnel\n");
    tls.addFile(QStringLiteral("hello.txt"), page);
    ProxyHarness h;

    const QString target = QStringLiteral("127.0.0.1:%1").arg(tls.port());
    const CurlResult curl = runCurl({QStringLiteral("-k"), QStringLiteral("--proxy"), h.proxyUrl(),
                                     QStringLiteral("https://") + target + QStringLiteral("/hello.txt")});
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
    EXPECT_EQ(curl.out, page);

    ASSERT_EQ(h.rowCount(), 1);
    const QStringList row = h.row(1);
    const QByteArray request = h.readRecord(row.at(7));
    EXPECT_TRUE(request.startsWith("CONNECT " + target.toLatin1() + " HTTP/1.1\r\n"));
    EXPECT_TRUE(request.endsWith("\r\n\r\n")) << "the tunnelled bytes are no part of the request";
    const QByteArray reply = h.readRecord(row.at(8));
    ASSERT_FALSE(reply.isEmpty());
    EXPECT_EQ(reply.at(0), '\x16') << "the reply record starts with the server's TLS handshake";
    EXPECT_FALSE(reply.contains(page)) << "the tunnel is relayed, not opened";
    EXPECT_EQ(row.mid(0, 7), QStringList({QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"),
                                          QStringLiteral("CONNECT"), target, ProxyHarness::number(request.size()),
                                          ProxyHarness::number(reply.size()), QStringLiteral("DONE")}));

    const QStringList log = withoutStart(h.logLines());
    ASSERT_EQ(log.size(), 4);
    EXPECT_EQ(log.at(1), QStringLiteral("1 - 127.0.0.1 - Requesting CONNECT - ") + target);
    EXPECT_TRUE(log.at(2).startsWith(QStringLiteral("Received ") + target + QStringLiteral(" for ")));
}

// Regression: an upstream that cannot be reached left the browser waiting for the idle sweep.
TEST(ExchangeEdge, UnreachableUpstreamIsAnsweredWithBadGateway)
{
    struct Row {
        const char *name;
        QByteArray request;
        QString host;
    };
    const Row rows[] = {
        {"name that never resolves", "GET http://nothing.invalid/x HTTP/1.1\r\nHost: nothing.invalid\r\n\r\n",
         QStringLiteral("nothing.invalid")},
        {"refused port",
         "GET http://127.0.0.1:" + QByteArray::number(closedPort()) + "/x HTTP/1.1\r\nHost: a\r\n\r\n",
         QStringLiteral("127.0.0.1")},
        {"empty host", "GET http:///x HTTP/1.1\r\nHost: a\r\n\r\n", QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        RawBrowser browser(h.port());
        browser.send(row.request);
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
        ASSERT_TRUE(h.waitUntilIdle());

        EXPECT_TRUE(browser.received.startsWith("HTTP/1.1 502 Bad Gateway\r\n")) << browser.received.constData();
        EXPECT_TRUE(browser.received.contains("\r\nContent-Type: text/plain\r\n"));
        const QByteArray body = browser.received.mid(browser.received.indexOf("\r\n\r\n") + 4);
        EXPECT_TRUE(browser.received.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
        if (!row.host.isEmpty()) {
            EXPECT_TRUE(body.contains(row.host.toLatin1())) << body.constData();
        }

        ASSERT_EQ(h.rowCount(), 1);
        EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
        EXPECT_FALSE(h.recordExists(h.row(1).at(8)));
        EXPECT_TRUE(h.recordExists(h.row(1).at(7)));
        const QStringList gateway = h.logLines().filter(QStringLiteral(" - Bad Gateway: "));
        ASSERT_EQ(gateway.size(), 1);
        EXPECT_TRUE(gateway.first().contains(QStringLiteral(" - Bad Gateway: ") + row.host + QStringLiteral(" - ")));
    }
}

// Regression: refused requests were neither answered nor closed, so clients hung; some reached
// the web server in a form it could read differently from the proxy.
TEST(ExchangeEdge, RefusedRequestsAreAnsweredAndNeverForwarded)
{
    FakeOrigin origin;
    origin.setReply({QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nforwarded")});
    const QByteArray url = origin.url(QStringLiteral("/r")).toLatin1();
    struct Row {
        const char *name;
        QList<QByteArray> chunks;
        int code;
    };
    const Row rows[] = {
        {"unknown method", {"BREW " + url + " HTTP/1.1\r\n\r\n"}, 400},
        {"method word split over two chunks", {"GE", "T " + url + " HTTP/1.1\r\n\r\n"}, 400},
        {"no blank after the target", {"GET " + url + "\r\nHost: a\r\n\r\n"}, 400},
        {"POST without a length", {"POST " + url + " HTTP/1.1\r\nHost: a\r\n\r\nbody"}, 411},
        {"negative length", {"POST " + url + " HTTP/1.1\r\nContent-Length: -5\r\n\r\n"}, 400},
        {"declared body too large, answered on its header",
         {"POST " + url + " HTTP/1.1\r\nContent-Length: 100048576\r\n\r\n"}, 413},
        {"header that never ends", {"GET " + url + " HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a')}, 431},
        {"NUL in a header", {raw("GET ") + url + raw(" HTTP/1.1\r\nX-A: a\0b\r\n\r\n")}, 400},
        {"bare CR in a header", {"GET " + url + " HTTP/1.1\r\nX-A: a\rb\r\n\r\n"}, 400},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        RawBrowser browser(h.port());
        for (const QByteArray &chunk : row.chunks) {
            browser.send(chunk);
            waitFor([] { return false; }, 20);
        }
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed; })) << browser.received.constData();
        ASSERT_TRUE(h.waitUntilIdle());

        const QByteArray statusLine = "HTTP/1.1 " + QByteArray::number(row.code) + ' ';
        EXPECT_TRUE(browser.received.startsWith(statusLine)) << browser.received.left(80).constData();
        EXPECT_TRUE(browser.received.contains("\r\nConnection: close\r\n"));
        EXPECT_EQ(h.rowCount(), 0);
        EXPECT_EQ(h.folder.requestFiles(), QStringList()) << "a record that no row names is never purged";
        EXPECT_EQ(origin.connectionsAccepted, 0);
        EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Refused: ") + QString::number(row.code)).size(), 1)
            << h.logLines().join(QLatin1Char('\n')).toStdString() << browser.received.constData();
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Requesting")).size(), 0);
    }
}

TEST(ExchangeEdge, BrowserThatLeavesEarlyEndsTheExchangeWithoutRecords)
{
    {
        SCOPED_TRACE("closes mid-request");
        ProxyHarness h;
        FakeOrigin origin;
        RawBrowser browser(h.port());
        browser.send("GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost:");
        waitFor([] { return false; }, 20);
        browser.close();
        ASSERT_TRUE(h.waitUntilIdle());
        EXPECT_EQ(h.rowCount(), 0);
        EXPECT_EQ(h.folder.requestFiles(), QStringList());
        EXPECT_EQ(origin.connectionsAccepted, 0);
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Removing #")).size(), 1);
    }
    {
        SCOPED_TRACE("closes mid-reply");
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply({QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part")},
                        FakeOrigin::Closing::Never);
        RawBrowser browser(h.port());
        browser.send("GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n");
        ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("first part"); }));
        browser.close();
        ASSERT_TRUE(h.waitUntilIdle(CProxyConnection::BrowserGoneGraceMs + 5000));
        EXPECT_TRUE(waitFor([&] { return origin.connectionsClosedByPeer == 1; })) << "the upstream side stays open";
        EXPECT_EQ(h.row(1).at(6), QStringLiteral("REMOVED"));
        EXPECT_EQ(h.folder.requestFiles(), QStringList({h.row(1).at(7)})) << "a cut-off reply left a record";
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Received ")).size(), 0);
    }
}

// Regression: bytes after a complete request were parsed as a second request on the same
// connection and forwarded through a fetcher that had already served the first.
TEST(ExchangeEdge, DataAfterACompleteRequestIsIgnored)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none")},
                    FakeOrigin::Closing::WhenAsked);
    origin.setHold(true);
    RawBrowser browser(h.port());
    const QByteArray request = "GET " + origin.url(QStringLiteral("/1")).toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n";
    browser.send(request + "GET " + origin.url(QStringLiteral("/2")).toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    browser.send("GET " + origin.url(QStringLiteral("/3")).toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n");
    waitFor([] { return false; }, 50);
    origin.release();
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(browser.received, origin.replyBytes());
    EXPECT_EQ(origin.connectionsAccepted, 1);
    ASSERT_EQ(origin.requests.size(), 1);
    EXPECT_TRUE(origin.requests.first().startsWith("GET /1 HTTP/1.1\r\n"));
    EXPECT_EQ(h.rowCount(), 1);
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
    EXPECT_EQ(h.logLines().filter(QStringLiteral("Requesting")).size(), 1);
}

TEST(ExchangeEdge, UpstreamBreakingOffMidReplyClosesTheBrowser)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome")}, FakeOrigin::Closing::Never);
    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    browser.send("GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("some"); }));
    connection->HTTPGet()->socket()->raiseError(EventSocket::sckConnectionAborted, QStringLiteral("aborted"));
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    connection.reset();
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(browser.received, origin.replyBytes()) << "nothing may be added to a reply already under way";
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
    EXPECT_EQ(h.folder.requestFiles(), QStringList({h.row(1).at(7)}));
    EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Reply broken off: ")).size(), 1);
}

// Regression: a record file that could not be written threw out of the socket handler into the
// event loop, leaving the browser without an answer.
TEST(ExchangeEdge, UnwritableRequestRecordIsAnsweredWithServerError)
{
    ProxyHarness h;
    FakeOrigin origin;
    ASSERT_TRUE(QDir(h.folder.requests()).removeRecursively());
    RawBrowser browser(h.port());
    browser.send("GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_TRUE(browser.received.startsWith("HTTP/1.1 500 Internal Server Error\r\n")) << browser.received.constData();
    EXPECT_EQ(origin.connectionsAccepted, 0);
    EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Internal error: ")).size(), 1);
}

// Regression: a tunnel upload faster than the destination reads was queued in memory whole.
TEST(ExchangeEdge, TunnelUploadWaitsForASlowDestination)
{
    QTcpServer destination;
    ASSERT_TRUE(destination.listen(QHostAddress::LocalHost, 0));
    QTcpSocket *accepted = nullptr;
    QObject::connect(&destination, &QTcpServer::newConnection, &destination, [&] {
        accepted = destination.nextPendingConnection();
        accepted->setReadBufferSize(16 * 1024);
    });
    ProxyHarness h;
    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    browser.send("CONNECT 127.0.0.1:" + QByteArray::number(destination.serverPort()) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return browser.received == "HTTP/1.1 200 Connection established\r\n\r\n"; }));

    const QByteArray piece(1024 * 1024, 'u');
    for (int i = 0; i < 32 && !connection->socket()->readPaused(); ++i) {
        browser.send(piece);
        waitFor([] { return false; }, 20);
    }
    EXPECT_TRUE(connection->socket()->readPaused());
    EXPECT_LE(connection->HTTPGet()->socket()->bytesToWrite(), 8 * CProxyConnection::RelayQueueBound);

    ASSERT_NE(accepted, nullptr);
    qint64 taken = 0;
    accepted->setReadBufferSize(0);
    waitFor([&] {
        taken += accepted->readAll().size();
        return !connection->socket()->readPaused();
    });
    EXPECT_FALSE(connection->socket()->readPaused()) << "the browser side never resumed";
    browser.close();
    ASSERT_TRUE(h.waitUntilIdle());
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
}

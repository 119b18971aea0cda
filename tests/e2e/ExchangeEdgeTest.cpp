#include "CHTTPGet.h"
#include "CProxyConnection.h"
#include "Clock.h"
#include "CurlRun.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "TestPki.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

// Regression: the whole reply was held in memory and relayed without regard for the browser,
// so a large download read slowly grew the proxy without bound.
TEST(ExchangeEdge, LargeReplyToASlowReaderStaysBoundedAndIsRecordedWhole)
{
    // Well past what the kernel buffers (about 3 MiB here), so that a relay without back-pressure
    // would queue several times the bound checked below.
    constexpr qint64 bodySize = 16 * 1024 * 1024;
    ProxyHarness h;
    FakeOrigin origin;
    const QByteArray header
        = "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(bodySize) + "\r\n\r\n";
    const QByteArray reply = header + FakeOrigin::pattern(0, bodySize);
    origin.setStreamedReply(header, bodySize);

    RawBrowser browser(h.port());
    browser.setReadPaused(true);
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    ASSERT_TRUE(connection);
    browser.send(origin.getRequest(QStringLiteral("/big")));
    ASSERT_TRUE(waitFor([&] { return connection->HTTPGet()->socket()->readPaused(); }, 20000))
        << "the fetcher never stopped reading for a browser that does not read";
    browser.setReadPaused(false);
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }, 30000));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_TRUE(browser.received == reply) << "the browser got " << browser.received.size() << " bytes";
    EXPECT_LE(connection->peakQueuedToBrowser(), 4 * CProxyConnection::RelayQueueBound);
    EXPECT_EQ(
        h.row(1).mid(5, 2), QStringList({ ProxyHarness::number(reply.size()), QStringLiteral("DONE") }));
    EXPECT_TRUE(h.readRecord(h.row(1).at(8)) == reply) << "reply record differs from what the origin sent";
}

// Regression: requests the proxy cannot or will not forward were neither answered nor closed, so
// clients hung until the idle sweep; some refused ones reached the web server in a form it could
// read differently from the proxy; an unwritable record threw out of the socket handler.
TEST(ExchangeEdge, RequestsTheProxyAnswersItselfAreAnsweredAtOnce)
{
    FakeOrigin origin, silent;
    silent.setReply({});
    origin.setHold(true);
    const QByteArray url = origin.url(QStringLiteral("/r")).toLatin1();
    struct Row {
        const char *name;
        QList<QByteArray> chunks;
        int code;
        QString host = {}; // of a 502, named in its body and log line
    };
    const Row rows[] = {
        { "unknown method", { "BREW " + url + " HTTP/1.1\r\n\r\n" }, 501 },
        { "origin-form target", { "GET /r HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" }, 400 },
        { "the proxy itself", { "GET http://127.0.0.1:PROXY/ HTTP/1.1\r\n\r\n" }, 508 },
        { "POST without a length", { "POST " + url + " HTTP/1.1\r\nHost: a\r\n\r\nbody" }, 411 },
        { "declared body too large, answered on its header",
            { "POST " + url + " HTTP/1.1\r\nContent-Length: 100048576\r\n\r\n" }, 413 },
        { "header that never ends", { "GET " + url + " HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a') },
            431 },
        { "name that never resolves", { "GET http://nothing.invalid/x HTTP/1.1\r\n\r\n" }, 502,
            QStringLiteral("nothing.invalid") },
        { "server closes without a byte", { "GET " + silent.url().toLatin1() + " HTTP/1.1\r\n\r\n" }, 502,
            QStringLiteral("127.0.0.1") },
        // The requests folder is removed, so the request record cannot be written; the origin holds
        // its reply, so the failure is known before any of it is relayed.
        { "unwritable request record", { "GET " + url + " HTTP/1.1\r\n\r\n" }, 500 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        if (row.code == 500) {
            ASSERT_TRUE(QDir(h.folder.requests()).removeRecursively());
        }
        RawBrowser browser(h.port());
        for (QByteArray chunk : row.chunks) {
            browser.send(chunk.replace("PROXY", QByteArray::number(h.port())));
            waitFor([] { return false; }, 20);
        }
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed; })) << browser.received.constData();
        ASSERT_TRUE(h.waitUntilIdle());

        const QByteArray &answer = browser.received;
        const qsizetype headerEnd = answer.indexOf("\r\n\r\n") + 2;
        const QByteArray body = answer.mid(headerEnd + 2);
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 " + QByteArray::number(row.code) + ' '))
            << answer.constData();
        for (const QByteArray &field : { QByteArray("Content-Type: text/plain"),
                 QByteArray("Connection: close"), "Content-Length: " + QByteArray::number(body.size()) })
            EXPECT_TRUE(answer.left(headerEnd).contains("\r\n" + field + "\r\n")) << field.constData();
        const QString logged = row.code == 500 ? QStringLiteral(" - Internal error: ")
            : row.code == 502 ? QStringLiteral(" - Bad Gateway: ") + row.host + QStringLiteral(" - ")
                              : QStringLiteral(" - Refused: %1 ").arg(row.code);
        EXPECT_EQ(h.logLines().filter(logged).size(), 1)
            << h.logLines().join(QLatin1Char('\n')).toStdString();
        if (row.code != 500 && row.code != 502) {
            EXPECT_EQ(origin.connectionsAccepted, 0);
            EXPECT_EQ(h.rowCount(), 0);
            EXPECT_EQ(h.folder.requestFiles(), QStringList()) << "a record that no row names is never purged";
            EXPECT_EQ(h.logLines().filter(QStringLiteral("Requesting")).size(), 0);
        } else {
            ASSERT_EQ(h.rowCount(), 1);
            EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
            // Regression: the proxy's own answer, all the browser got, left no reply record.
            EXPECT_TRUE(
                waitFor([&] { return h.readRecord(h.row(1).at(8)) == (row.code == 502 ? answer : ""); }));
            EXPECT_EQ(h.recordExists(h.row(1).at(7)), row.code == 502);
            EXPECT_TRUE(body.contains(row.host.toLatin1())) << body.constData();
        }
    }
}

TEST(ExchangeEdge, BrowserThatLeavesEarlyEndsTheExchangeWithoutRecords)
{
    {
        SCOPED_TRACE("closes mid-request");
        ProxyHarness h;
        FakeOrigin origin;
        RawBrowser browser(h.port());
        const std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
        browser.send("GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost:");
        ASSERT_TRUE(waitFor([&] { return connection && connection->request(); }));
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
        origin.setReply(
            { "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part" }, FakeOrigin::Closing::Never);
        RawBrowser browser(h.port());
        browser.send(origin.getRequest());
        ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("first part"); }));
        browser.close();
        ASSERT_TRUE(h.waitUntilIdle(CProxyConnection::BrowserGoneGraceMs + 5000));
        EXPECT_TRUE(waitFor([&] { return origin.connectionsClosedByPeer == 1; }))
            << "the upstream side stays open";
        EXPECT_EQ(h.row(1).at(6), QStringLiteral("REMOVED"));
        EXPECT_TRUE(waitFor([&] { return h.folder.requestFiles() == QStringList({ h.row(1).at(7) }); }))
            << "a cut-off reply left a record";
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Received ")).size(), 0);
    }
}

// Regression: a reply the web server broke off was left open towards the browser, or had an
// error answer appended to the bytes already relayed, or left a partial record.
TEST(ExchangeEdge, UpstreamBreakingOffMidReplyClosesTheBrowser)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome" }, FakeOrigin::Closing::Never);
    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    browser.send(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("some"); }));
    connection->HTTPGet()->socket()->raiseError(EventSocket::sckConnectionAborted, QStringLiteral("aborted"));
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    connection.reset();
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(browser.received, origin.replyBytes()) << "nothing may be added to a reply already under way";
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
    EXPECT_EQ(h.folder.requestFiles(), QStringList({ h.row(1).at(7) }));
    EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Reply broken off: ")).size(), 1);
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
    accepted->setReadBufferSize(0);
    EXPECT_TRUE(waitFor([&] {
        accepted->readAll();
        return !connection->socket()->readPaused();
    })) << "the browser side never resumed";
    browser.close();
    ASSERT_TRUE(h.waitUntilIdle());
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
}

// Regression: a server that took the request and never answered left the browser with nothing
// but a close at the idle sweep.
TEST(ExchangeEdge, SilentServerIsAnswered504AtTheIdleLimit)
{
    Clock::setNowForTest(QDateTime(QDate(2026, 1, 2), QTime(10, 0, 0)));
    ProxyHarness h;
    FakeOrigin origin;
    origin.setHold(true);
    RawBrowser browser(h.port());
    browser.send(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    Clock::advanceForTest((h.server->Timeout() + 1) * 1000);
    h.server->connections().front()->CheckTimeout();
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    Clock::setNowForTest(std::nullopt);
    EXPECT_TRUE(browser.received.startsWith("HTTP/1.1 504 Gateway Timeout\r\n"))
        << browser.received.constData();
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
}

// Regression: a burst of pipelined requests was read whole, each request holding a copy of every
// byte after it, so that ten thousand tiny ones took the proxy to a gigabyte.
TEST(ExchangeEdge, PipelinedBurstWaitsUnreadPastTheBoundAndKeepsItsOrder)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx" }, FakeOrigin::Closing::Never);
    origin.setHold(true);
    RawBrowser browser(h.port());
    QByteArray burst;
    for (int i = 0; i < 48; ++i)
        burst += origin.getRequest(QStringLiteral("/%1").arg(i));
    browser.send(burst);
    ASSERT_TRUE(waitFor([&] { return h.rowCount() >= int(CProxyConnection::MaxPipelined); }));
    EXPECT_EQ(h.rowCount(), int(CProxyConnection::MaxPipelined));
    origin.release();
    ASSERT_TRUE(waitFor([&] { return h.rowCount() == 48 && h.row(48).at(6) == QStringLiteral("DONE"); }));
    EXPECT_EQ(browser.received, origin.replyBytes().repeated(48));
    for (int i = 0; i < 48; ++i)
        EXPECT_EQ(h.readRecord(h.row(i + 1).at(7)), origin.getRequest(QStringLiteral("/%1").arg(i)));
}

#include "CHTTPGet.h"
#include "CProxyConnection.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"

#include <QDir>
#include <QTcpServer>

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
    const QByteArray head = "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(bodySize) + "\r\n\r\n";
    const QByteArray reply = head + FakeOrigin::pattern(0, bodySize);
    origin.setStreamedReply(head, bodySize);

    RawBrowser browser(h.port());
    browser.setReadPaused(true);
    const std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    browser.send(origin.getRequest(QStringLiteral("/big")));
    ASSERT_TRUE(waitFor([&] { return connection->HTTPGet()->socket()->readPaused(); }, 20000))
        << "the fetcher never stopped reading for a browser that does not read";
    browser.setReadPaused(false);
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }, 30000));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_TRUE(browser.received == reply) << "the browser got " << browser.received.size() << " bytes";
    EXPECT_LE(connection->peakQueuedToBrowser(), 4 * CProxyConnection::RelayQueueBound);
    EXPECT_TRUE(h.readRecord(h.row(1).at(8)) == reply) << "reply record differs from what the origin sent";
}

// Regression: requests the proxy cannot or will not forward were neither answered nor closed, so
// clients hung until the idle sweep; some refused ones reached the web server in a form it could
// read differently from the proxy; an unwritable record threw out of the socket handler; a server
// that took the request and never answered left the browser nothing but a close at the idle sweep.
TEST(ExchangeEdge, RequestsTheProxyAnswersItselfAreAnsweredAtOnce)
{
    FakeOrigin origin, silent;
    silent.setReply({});
    origin.setHold(true);
    const QByteArray url = origin.url(QStringLiteral("/r")).toLatin1();
    const struct {
        const char *name;
        QByteArray request;
        int code;
        const char *logged = nullptr; // none for a refusal, which reaches no server and makes no row
        QByteArray host = {}; // named in the body of a 502 or 504
    } rows[] = {
        { "unknown method", "BREW " + url + " HTTP/1.1\r\n\r\n", 501 },
        { "origin-form target", "GET /r HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400 },
        { "the proxy itself", "GET http://127.0.0.1:PROXY/ HTTP/1.1\r\n\r\n", 508 },
        { "POST without a length", "POST " + url + " HTTP/1.1\r\nHost: a\r\n\r\nbody", 411 },
        { "declared body too large, answered on its header",
            "POST " + url + " HTTP/1.1\r\nContent-Length: 100048576\r\n\r\n", 413 },
        { "header that never ends", "GET " + url + " HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a'),
            431 },
        { "name that never resolves", "GET http://nothing.invalid/x HTTP/1.1\r\n\r\n", 502,
            " - Bad Gateway: nothing.invalid - ", "nothing.invalid" },
        { "server closes without a byte", "GET " + silent.url().toLatin1() + " HTTP/1.1\r\n\r\n", 502,
            " - Bad Gateway: 127.0.0.1 - ", "127.0.0.1" },
        { "server silent past the idle limit", "GET " + url + " HTTP/1.1\r\n\r\n", 504,
            " - Gateway Timeout: 127.0.0.1", "127.0.0.1" },
        // The requests folder is removed, so the request record cannot be written; the origin holds
        // its reply, so the failure is known before any of it is relayed.
        { "unwritable request record", "GET " + url + " HTTP/1.1\r\n\r\n", 500, " - Internal error: " },
    };
    Clock::setNowForTest(QDateTime(QDate(2026, 1, 2), QTime(10, 0, 0)));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        if (row.code == 500) {
            ASSERT_TRUE(QDir(h.folder.requests()).removeRecursively());
        }
        RawBrowser browser(h.port());
        const int held = origin.completeRequests();
        browser.send(QByteArray(row.request).replace("PROXY", QByteArray::number(h.port())));
        if (row.code == 504) {
            ASSERT_TRUE(waitFor([&] { return origin.completeRequests() > held; }));
            Clock::advanceForTest((h.server->Timeout() + 1) * 1000);
            h.server->connections().front()->CheckTimeout();
        }
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed; })) << browser.received.constData();
        ASSERT_TRUE(h.waitUntilIdle());

        const QByteArray &answer = browser.received;
        const qsizetype headerEnd = answer.indexOf("\r\n\r\n") + 2;
        const QByteArray body = answer.mid(headerEnd + 2);
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 " + QByteArray::number(row.code) + ' ')
            && answer.left(headerEnd).endsWith("\r\nContent-Type: text/plain\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\nConnection: close\r\n"))
            << answer.constData();
        const QString logged
            = row.logged ? QString::fromLatin1(row.logged) : QStringLiteral(" - Refused: %1 ").arg(row.code);
        EXPECT_EQ(h.logLines().filter(logged).size(), 1)
            << h.logLines().join(QLatin1Char('\n')).toStdString();
        if (!row.logged) {
            const qsizetype requesting = h.logLines().filter(QStringLiteral("Requesting")).size();
            EXPECT_EQ(origin.connectionsAccepted + h.rowCount() + requesting, 0);
            EXPECT_EQ(h.folder.requestFiles(), QStringList()) << "a record that no row names is never purged";
            continue;
        }
        ASSERT_EQ(h.rowCount(), 1);
        EXPECT_EQ(h.row(1).at(6), QStringLiteral("ERROR"));
        // Regression: the proxy's own answer, all the browser got, left no reply record.
        EXPECT_TRUE(waitFor([&] { return h.readRecord(h.row(1).at(8)) == (row.code == 500 ? "" : answer); }));
        EXPECT_EQ(h.recordExists(h.row(1).at(7)), row.code != 500);
        EXPECT_TRUE(body.contains(row.host)) << body.constData();
    }
    Clock::setNowForTest(std::nullopt);
}

// Regression: an exchange cut off by either side left the other side open, had an error answer
// appended to the reply already under way, or left a record of the cut-off reply.
TEST(ExchangeEdge, ExchangeCutOffByEitherSideEndsWithoutAReplyRecord)
{
    const struct {
        const char *name;
        bool midRequest, byServer;
        const char *status, *logged;
    } rows[] = {
        { "browser closes mid-request", true, false, "", "Removing #" },
        { "browser closes mid-reply", false, false, "REMOVED", "Removing #" },
        { "server breaks off mid-reply", false, true, "ERROR", " - Reply broken off: " },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome" }, FakeOrigin::Closing::Never);
        RawBrowser browser(h.port());
        std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
        browser.send(origin.getRequest().chopped(row.midRequest ? 4 : 0));
        ASSERT_TRUE(waitFor([&] {
            return row.midRequest ? bool(connection->request()) : browser.received.endsWith("some");
        }));
        if (row.byServer)
            connection->HTTPGet()->socket()->raiseError(
                EventSocket::sckConnectionAborted, QStringLiteral("aborted"));
        else
            browser.close();
        connection.reset();
        ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
        ASSERT_TRUE(h.waitUntilIdle(CProxyConnection::BrowserGoneGraceMs + 5000));
        EXPECT_EQ(browser.received, row.midRequest ? QByteArray() : origin.replyBytes())
            << "nothing may be added to a reply already under way";
        EXPECT_EQ(origin.connectionsAccepted, row.midRequest ? 0 : 1);
        EXPECT_TRUE(waitFor([&] { return origin.connectionsClosedByPeer == origin.connectionsAccepted; }))
            << "the upstream side stays open";
        EXPECT_EQ(h.row(1).value(6), QLatin1String(row.status));
        EXPECT_TRUE(waitFor([&] {
            return h.folder.requestFiles()
                == (row.midRequest ? QStringList() : QStringList { h.row(1).at(7) });
        })) << "a cut-off reply left a record";
        EXPECT_EQ(h.logLines().filter(QString::fromLatin1(row.logged)).size(), 1);
        EXPECT_EQ(h.logLines().filter(QStringLiteral("Received ")).size(), 0);
    }
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
    EXPECT_TRUE(waitFor(
        [&] {
            accepted->readAll();
            return !connection->socket()->readPaused();
        },
        30000))
        << "the browser side never resumed";
}

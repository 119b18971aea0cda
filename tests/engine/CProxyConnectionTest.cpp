#include "CProxyConnection.h"
#include "CExchange.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "RecordWriter.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Sets the clock for one test; the real clock and random source come back when it ends.
struct TestClock {
    explicit TestClock(const QDateTime &now) { Clock::setNowForTest(now); }
    ~TestClock()
    {
        Clock::setNowForTest(std::nullopt);
        Clock::setRandomForTest(nullptr);
    }
};

// A random source that yields the given capital letters, in order, again and again.
void drawLetters(const QString &sequence)
{
    Clock::setRandomForTest([sequence, position = 0]() mutable {
        return (sequence.at(position++ % sequence.size()).unicode() - 'A' + 0.5) / 26.0;
    });
}

// Serves one request through a fresh proxy; the origin holds its reply until released.
struct HeldExchange {
    explicit HeldExchange(
        const QList<QByteArray> &reply, FakeOrigin::Closing closing = FakeOrigin::Closing::AfterReply)
    {
        origin.setReply(reply, closing);
        origin.setHold(true);
    }
    bool start()
    {
        browser.send(origin.getRequest());
        return waitFor([&] { return origin.completeRequests() == 1; });
    }
    ProxyHarness h;
    FakeOrigin origin;
    RawBrowser browser { h.port() };
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
};

} // namespace

TEST(CProxyConnection, ForwardedRequestRewritesTargetAndHopByHopHeadersOnly)
{
    const QByteArray body = "Connection: keep-alive\r\n\r\n" + QByteArray(1, '\0') + "x";
    const QByteArray close = "Connection: close\r\n\r\n";
    const struct {
        const char *name;
        QByteArray in;
        std::optional<QByteArray> out;
    } rows[] = {
        // Regression: the server got the browser's Host, not the authority the proxy connected to.
        { "absolute target with port and query, another Host",
            "GET http://name:8080/a/b?x=1 HTTP/1.0\r\nX: 1\r\nhost: evil.example\r\n\r\n",
            "GET /a/b?x=1 HTTP/1.0\r\nX: 1\r\nhost: name:8080\r\n" + close },
        { "scheme in capitals, OPTIONS of the whole server, no Host",
            "options HTTP://user@Name HTTP/1.1\r\nAccept: */*\r\n\r\n",
            "options * HTTP/1.1\r\nHost: Name\r\nAccept: */*\r\n" + close },
        // Regression: the proxy's credentials and the other fields of the browser's hop reached the server.
        { "hop-by-hop headers in any case, and those Connection names, but never the framing or Host",
            "GET http://h/ HTTP/1.1\r\nHost: h\r\nproxy-connection: Keep-Alive\r\nCONNECTION: keep-alive, "
            "X-Trace, Host, content-length\r\nKeep-Alive: 300\r\nx-trace: 1\r\nTransfer-Encoding: x\r\n"
            "Proxy-Authorization: Basic eDp5\r\nProxy-Authenticate: Basic\r\nTE: trailers\r\n"
            "Trailer: X-Sum\r\nUpgrade: websocket\r\nContent-Length: 0\r\n\r\n",
            "GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: x\r\nContent-Length: 0\r\n" + close },
        { "body bytes are never touched", "POST http://h/p HTTP/1.1\r\nContent-Length: 28\r\n\r\n" + body,
            "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 28\r\n" + close + body },
        { "no blank after the target", "GET http://h/\r\nHost: a b\r\n\r\n", std::nullopt },
        { "a path stays as it is, with its Host", "GET /a HTTP/1.1\r\nHost: x\r\n\r\n",
            "GET /a HTTP/1.1\r\nHost: x\r\n" + close },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CProxyConnection::forwardedRequest(row.in), row.out);
    }
}

TEST(CExchange, RecordNamesComeFromClockAndLettersAndAreNeverShared)
{
    TestFolder folder;
    TestClock clock(QDateTime(QDate(2001, 7, 17), QTime(9, 5, 7)));
    const QString dir = folder.requests();
    drawLetters(QStringLiteral("ABCDE"));
    auto first = std::make_unique<CExchange>(dir);
    EXPECT_EQ(first->recordName(), QStringLiteral("010717090507-ABCDE"));
    EXPECT_EQ(first->RequestFilePath(), dir + QStringLiteral("010717090507-ABCDE-Q.txt"));
    EXPECT_EQ(first->ResponseFilePath(), dir + QStringLiteral("010717090507-ABCDE-A.txt"));

    // Regression: a second exchange of the same second with the same letters overwrote the
    // first one's files.
    drawLetters(QStringLiteral("ABCDEVWXYZ"));
    EXPECT_EQ(std::make_unique<CExchange>(dir)->recordName(), QStringLiteral("010717090507-VWXYZ"));

    // Regression: files left by an earlier run were overwritten by a new exchange.
    first.reset();
    QFile leftover(dir + QStringLiteral("010717090507-ABCDE-A.txt"));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    drawLetters(QStringLiteral("ABCDEKLMNO"));
    EXPECT_EQ(std::make_unique<CExchange>(dir)->recordName(), QStringLiteral("010717090507-KLMNO"));
}

TEST(CProxyConnection, IdleTimeoutIsStrictlyGreaterAndReplyTrafficCounts)
{
    TestClock clock(QDateTime(QDate(2024, 1, 2), QTime(10, 0, 0)));
    HeldExchange x({ "HTTP/1.1 200 OK\r\n\r\n", "more" }, FakeOrigin::Closing::Never);
    ASSERT_TRUE(x.connection && x.start());
    Clock::advanceForTest(50 * 1000);
    x.origin.release();
    ASSERT_TRUE(waitFor([&] { return x.browser.received.endsWith("more"); }));
    // Regression: reply traffic did not restart the idle clock, so downloads were cut off.
    Clock::advanceForTest(60 * 1000);
    x.connection->CheckTimeout();
    EXPECT_EQ(x.h.server->connections().size(), 1u) << "60 seconds is not more than the limit";
    Clock::advanceForTest(1000);
    x.connection->CheckTimeout();
    EXPECT_TRUE(x.h.server->connections().empty());
    EXPECT_TRUE(waitFor([&] { return x.browser.peerClosed; }));
    EXPECT_EQ(x.h.row(1).at(6), QStringLiteral("SENT-WEB")) << "the time-out leaves the row as it was";
}

// The window removes an exchange's row while the exchange runs (a purge, a clear): the exchange
// reports into no row any more, and keeps its records only if the row was ticked.
TEST(CProxyConnection, AnExchangeWhoseRowWasRemovedReportsNothingAndKeepsRecordsOnlyWhenTicked)
{
    // Regression: the records of a row ticked before the purge were deleted as its exchange ended.
    for (const auto &[removed, ticked] : { std::pair { false, false }, { true, false }, { true, true } }) {
        SCOPED_TRACE(testing::Message() << removed << ticked);
        HeldExchange x({ "HTTP/1.0 200 OK\r\n\r\nbody" });
        ProxyHarness &h = x.h;
        ASSERT_TRUE(x.start());
        ASSERT_EQ(h.rowCount(), 1);
        const QStringList before = h.row(1);
        if (removed)
            h.server->historyRowsRemoved({ { h.shell.list.id(1), ticked } });
        x.origin.release();
        x.connection.reset();
        ASSERT_TRUE(h.waitUntilIdle());
        if (removed)
            EXPECT_EQ(h.row(1), before) << "a removed row was reported into";
        else
            EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
        RecordWriter::instance().drain(5000);
        EXPECT_EQ(QDir(h.folder.requests()).entryList(QDir::Files).size(), removed && !ticked ? 0 : 2);
    }
}

TEST(CProxyConnection, BrowserSocketErrorsEndTheExchange)
{
    for (const auto &[number, status] : { std::pair { EventSocket::sckConnectionReset, "CLOSED" },
             std::pair { EventSocket::sckConnectionAborted, "ERROR" } }) {
        SCOPED_TRACE(status);
        HeldExchange x({ "HTTP/1.0 200 OK\r\n\r\n" });
        ASSERT_TRUE(x.start());
        x.connection->socket()->raiseError(number, QStringLiteral("test"));
        EXPECT_TRUE(x.h.server->connections().empty());
        EXPECT_EQ(x.h.row(1).at(6), QString::fromLatin1(status));
        EXPECT_TRUE(waitFor([&] { return x.origin.connectionsClosedByPeer == 1; }))
            << "the upstream side stays open";
        x.connection.reset();
        x.h.waitUntilIdle();
        EXPECT_FALSE(x.h.recordExists(x.h.row(1).at(8)));
    }
}

TEST(CProxyConnection, SendQueuesBehindTheEarlierSendAndLogsEach)
{
    ProxyHarness h;
    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    ASSERT_TRUE(connection);
    const QString line = QStringLiteral("127.0.0.1 - %1 - ").arg(connection->RequestID());
    h.server->SendBuffer(connection->RequestID(), QByteArrayLiteral("one,"));
    connection->Send(QByteArrayLiteral("two"));
    ASSERT_TRUE(waitFor([&] { return browser.received == "one,two"; }));
    EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Sending back to browser.")),
        QStringList(2, line + QStringLiteral("Sending back to browser.")));

    // Unconnected: nothing is sent and each failure is logged at once.
    connection->socket()->Close();
    connection->Send(QByteArrayLiteral("three"));
    connection->Send(QByteArrayLiteral("four"));
    EXPECT_EQ(h.logLines().filter(QStringLiteral("Error Sending")),
        QStringList(2, line + QStringLiteral("Error Sending back to browser.")));
}

// The browser gets its reply and the connection goes on to the next request even when the reply
// record cannot be put in place; only that row says so.
TEST(CProxyConnection, AReplyRecordThatCannotBeWrittenMarksItsRowAndHoldsNothingBack)
{
    HeldExchange x({ "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none" }, FakeOrigin::Closing::Never);
    ASSERT_TRUE(x.start());
    ASSERT_TRUE(RecordWriter::instance().drain(5000));
    ASSERT_TRUE(QDir(x.h.folder.requests()).removeRecursively());
    x.origin.release();
    ASSERT_TRUE(
        waitFor([&] { return x.browser.received.endsWith("one") && x.h.row(1).value(6) == u"ERROR"; }));
    EXPECT_EQ(x.h.logLines().filter(QStringLiteral(" - Internal error: ")).size(), 1);

    ASSERT_TRUE(QDir().mkpath(x.h.folder.requests()));
    x.browser.send(x.origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return x.h.rowCount() == 2 && x.h.row(2).value(6) == u"DONE"; }));
    EXPECT_TRUE(x.browser.received.endsWith("oneHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"));
    EXPECT_EQ(x.h.readRecord(x.h.row(2).at(8)), x.origin.replyBytes());
}

#include "CHTTPGet.h"
#include "CProxyConnection.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Restores the real clock and random source when a test that set them ends.
struct TestClock {
    explicit TestClock(const QDateTime &now) { Clock::setNowForTest(now); }
    ~TestClock()
    {
        Clock::setNowForTest(std::nullopt);
        Clock::setRandomForTest(nullptr);
    }
};

// A random source that yields the given capital letters, in order, again and again.
std::function<double()> letters(const QString &sequence)
{
    auto position = std::make_shared<int>(0);
    return [sequence, position] {
        const QChar c = sequence.at((*position)++ % sequence.size());
        return (c.unicode() - 'A' + 0.5) / 26.0;
    };
}

// Bytes of a literal, NULs included.
template<std::size_t N>
QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

QByteArray getRequest(const QString &url)
{
    return QByteArrayLiteral("GET ") + url.toLatin1() + QByteArrayLiteral(" HTTP/1.1\r\nHost: x\r\n\r\n");
}

} // namespace

TEST(CProxyConnection, ForwardedRequestRewritesTargetAndHopByHopHeadersOnly)
{
    struct Row {
        const char *name;
        QByteArray in;
        std::optional<QByteArray> out;
    };
    const Row rows[] = {
        {"absolute target with port and query",
         "GET http://name:8080/a/b?x=1 HTTP/1.0\r\nHost: name\r\n\r\n",
         QByteArray("GET /a/b?x=1 HTTP/1.0\r\nHost: name\r\nConnection: close\r\n\r\n")},
        {"no path", "GET http://name HTTP/1.0\r\n\r\n", QByteArray("GET / HTTP/1.0\r\nConnection: close\r\n\r\n")},
        {"scheme in capitals is left alone", "GET HTTP://name/a HTTP/1.1\r\nAccept: */*\r\n\r\n",
         QByteArray("GET HTTP://name/a HTTP/1.1\r\nAccept: */*\r\nConnection: close\r\n\r\n")},
        {"hop-by-hop headers in any case, and those Connection names",
         "GET http://h/ HTTP/1.1\r\nHost: h\r\nproxy-connection: Keep-Alive\r\nCONNECTION: keep-alive, X-Trace\r\n"
         "Keep-Alive: 300\r\nx-trace: 1\r\nX-Other: 2\r\n\r\n",
         QByteArray("GET / HTTP/1.1\r\nHost: h\r\nX-Other: 2\r\nConnection: close\r\n\r\n")},
        {"continuation line goes with its header",
         "GET http://h/ HTTP/1.1\r\nConnection: close,\r\n upgrade\r\nUpgrade: h2c\r\nA: b\r\n\r\n",
         QByteArray("GET / HTTP/1.1\r\nA: b\r\nConnection: close\r\n\r\n")},
        {"body bytes are never touched",
         raw("POST http://h/p HTTP/1.1\r\nContent-Length: 28\r\n\r\nConnection: keep-alive\r\n\r\n\0x"),
         raw("POST /p HTTP/1.1\r\nContent-Length: 28\r\nConnection: close\r\n\r\nConnection: keep-alive\r\n\r\n\0x")},
        {"no blank after the target", "GET http://h/\r\nHost: a b\r\n\r\n", std::nullopt},
        {"no blank at all", "GETZ\r\n\r\n", std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CProxyConnection::forwardedRequest(row.in), row.out);
    }
}

TEST(CProxyConnection, RecordNamesComeFromClockAndLettersAndAreNeverShared)
{
    ProxyHarness h;
    TestClock clock(QDateTime(QDate(2001, 7, 17), QTime(9, 5, 7)));
    const QString folder = h.folder.requests();

    Clock::setRandomForTest(letters(QStringLiteral("ABCDE")));
    auto first = std::make_unique<CProxyConnection>();
    EXPECT_EQ(first->recordName(), QStringLiteral("010717090507-ABCDE"));
    EXPECT_EQ(first->RequestFilePath(), folder + QStringLiteral("010717090507-ABCDE-Q.txt"));
    EXPECT_EQ(first->ResponseFilePath(), folder + QStringLiteral("010717090507-ABCDE-A.txt"));
    EXPECT_EQ(first->HTTPGet()->ResponseFile(), first->ResponseFilePath());

    // Regression: a second connection of the same second with the same letters overwrote the
    // first one's files.
    Clock::setRandomForTest(letters(QStringLiteral("ABCDEVWXYZ")));
    auto second = std::make_unique<CProxyConnection>();
    EXPECT_EQ(second->recordName(), QStringLiteral("010717090507-VWXYZ"));

    // Regression: files left by an earlier run were overwritten by a new exchange.
    first.reset();
    QFile leftover(folder + QStringLiteral("010717090507-ABCDE-A.txt"));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    Clock::setRandomForTest(letters(QStringLiteral("ABCDEKLMNO")));
    auto third = std::make_unique<CProxyConnection>();
    EXPECT_EQ(third->recordName(), QStringLiteral("010717090507-KLMNO"));
}

TEST(CProxyConnection, IdleTimeoutIsStrictlyGreaterAndReplyTrafficCounts)
{
    ProxyHarness h;
    TestClock clock(QDateTime(QDate(2024, 1, 2), QTime(10, 0, 0)));
    FakeOrigin origin;
    origin.setReply({QByteArrayLiteral("HTTP/1.1 200 OK\r\n\r\n"), QByteArrayLiteral("more")},
                    FakeOrigin::Closing::Never);
    origin.setHold(true);

    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    ASSERT_TRUE(connection);
    ASSERT_EQ(h.server->Timeout(), 60);

    Clock::advanceForTest(60 * 1000);
    connection->CheckTimeout();
    EXPECT_EQ(h.server->connections().size(), 1u) << "60 seconds is not more than the limit";

    browser.send(getRequest(origin.url()));
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    Clock::advanceForTest(50 * 1000);
    origin.release();
    ASSERT_TRUE(waitFor([&] { return browser.received.endsWith("more"); }));

    // Regression: reply traffic did not restart the idle clock, so downloads were cut off.
    Clock::advanceForTest(60 * 1000);
    connection->CheckTimeout();
    EXPECT_EQ(h.server->connections().size(), 1u);

    Clock::advanceForTest(1000);
    connection->CheckTimeout();
    EXPECT_TRUE(h.server->connections().empty());
    EXPECT_TRUE(waitFor([&] { return browser.peerClosed; }));
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("SENT-WEB")) << "the time-out leaves the row as it was";
}

// The 201st row empties the list (after the record purge); the exchange whose row went with it
// must not write into whatever row later takes its old position.
TEST(CProxyConnection, AutoPurgePastTwoHundredRowsAndRowsOfAPurgedList)
{
    for (const int rowsBefore : {199, 200}) {
        SCOPED_TRACE(rowsBefore);
        ProxyHarness h;
        for (int i = 0; i < rowsBefore; ++i)
            h.shell.list.add();
        int rowsSeenByPurge = -1;
        h.shell.onPurge = [&] { rowsSeenByPurge = h.shell.list.count(); };

        FakeOrigin origin;
        origin.setReply({QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nbody")});
        origin.setHold(true);
        RawBrowser browser(h.port());
        browser.send(getRequest(origin.url()));
        ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));

        const bool purged = rowsBefore == 200;
        EXPECT_EQ(h.shell.purges, purged ? 1 : 0);
        if (purged) {
            EXPECT_EQ(rowsSeenByPurge, 201);
            EXPECT_EQ(h.rowCount(), 0);
            const QStringList log = h.logLines();
            const qsizetype at = log.indexOf(QStringLiteral("200 Temp File Limit Reached - Auto-Purging..."));
            ASSERT_GE(at, 0);
            EXPECT_EQ(log.value(at + 1), QStringLiteral("Done purging."));
            for (int i = 0; i < 201; ++i)
                h.shell.list.add();
        }
        origin.release();
        ASSERT_TRUE(h.waitUntilIdle());
        ASSERT_GE(h.rowCount(), 200);
        const int ownRow = rowsBefore + 1;
        if (purged)
            EXPECT_EQ(h.row(ownRow), QStringList(9)) << "a row of the purged list was written";
        else
            EXPECT_EQ(h.row(ownRow).at(6), QStringLiteral("DONE"));
    }
}

TEST(CProxyConnection, BrowserSocketErrorsEndTheExchange)
{
    struct Row {
        const char *name;
        qint16 number;
        QString status;
    };
    const Row rows[] = {
        {"reset by the browser", EventSocket::sckConnectionReset, QStringLiteral("CLOSED")},
        {"any other error", EventSocket::sckConnectionAborted, QStringLiteral("ERROR")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply({QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\n")});
        origin.setHold(true);
        RawBrowser browser(h.port());
        std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
        browser.send(getRequest(origin.url()));
        ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));

        connection->socket()->raiseError(row.number, QStringLiteral("test"));
        EXPECT_TRUE(h.server->connections().empty());
        EXPECT_EQ(h.row(1).at(6), row.status);
        EXPECT_EQ(h.row(1).at(2), QStringLiteral("GET"));
        EXPECT_TRUE(waitFor([&] { return origin.connectionsClosedByPeer == 1; })) << "the upstream side stays open";
        connection.reset();
        h.waitUntilIdle();
        EXPECT_FALSE(h.recordExists(h.row(1).at(8)));
    }
}

TEST(CProxyConnection, SendWaitsForTheEarlierSendAndLogsEach)
{
    TestClock clock(QDateTime::currentDateTime());
    ProxyHarness h;
    RawBrowser browser(h.port());
    std::shared_ptr<CProxyConnection> connection = h.waitForConnection();
    ASSERT_TRUE(connection);
    const QString id = QString::number(connection->RequestID());

    h.server->SendBuffer(connection->RequestID(), QByteArrayLiteral("one,"));
    connection->Send(QByteArrayLiteral("two"));
    ASSERT_TRUE(waitFor([&] { return browser.received == "one,two"; }));
    EXPECT_EQ(h.logLines().filter(QStringLiteral(" - Sending back to browser.")),
              QStringList({QStringLiteral("127.0.0.1 - ") + id + QStringLiteral(" - Sending back to browser."),
                           QStringLiteral("127.0.0.1 - ") + id + QStringLiteral(" - Sending back to browser.")}));

    // Unconnected: nothing is sent, the failure is logged, and the next Send waits out its
    // ten seconds on the settable clock rather than on the wall.
    connection->socket()->Close();
    connection->Send(QByteArrayLiteral("three"));
    EXPECT_EQ(h.logLines().last(), QStringLiteral("127.0.0.1 - ") + id + QStringLiteral(" - Error Sending back to browser."));
    QTimer::singleShot(0, [] { Clock::advanceForTest(10001); });
    connection->Send(QByteArrayLiteral("four"));
    EXPECT_EQ(h.logLines().filter(QStringLiteral("Error Sending")).size(), 2);
}

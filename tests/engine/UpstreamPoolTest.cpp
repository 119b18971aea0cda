#include "UpstreamPool.h"
#include "CProxyServer.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Browser connections to one origin take turns on a kept server connection; one that asks while
// it is lent gets its own; a connection the server closes while idle is let go.
TEST(UpstreamPool, BrowserConnectionsTakeTurnsOnKeptServerConnections)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, FakeOrigin::Closing::Never);
    const QString server = QStringLiteral("http://127.0.0.1:%1").arg(origin.port());
    RawBrowser first(h.port()), second(h.port()), third(h.port());
    const auto served = [&](RawBrowser &browser, int count) {
        return waitFor([&] { return browser.received.count("ok") == count; });
    };
    first.send(origin.getRequest());
    ASSERT_TRUE(served(first, 1));
    second.send(origin.getRequest());
    ASSERT_TRUE(served(second, 1));
    EXPECT_EQ(origin.connectionsAccepted, 1);

    origin.setHold(true);
    first.send(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 3; }));
    third.send(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 4; }));
    EXPECT_EQ(origin.connectionsAccepted, 2);
    origin.release();
    ASSERT_TRUE(served(first, 2) && served(third, 1));
    EXPECT_EQ(h.server->upstreamPool()->idleCount(server), 2);

    ASSERT_TRUE(waitFor([&] { return origin.idle(); }));
    origin.dropIdleConnections();
    ASSERT_TRUE(waitFor([&] { return h.server->upstreamPool()->idleCount(server) == 0; }));
    second.send(origin.getRequest());
    ASSERT_TRUE(served(second, 2));
    EXPECT_EQ(origin.connectionsAccepted, 3);
}

TEST(UpstreamPool, KeepsSixPerServerAndClosesThoseIdlePastTheLimit)
{
    FakeOrigin origin;
    UpstreamPool pool;
    std::vector<EventSocket *> sockets;
    for (int i = 0; i < UpstreamPool::MaxIdlePerServer + 1; ++i) {
        auto *socket = sockets.emplace_back(new EventSocket);
        socket->Connect(QStringLiteral("127.0.0.1"), origin.port());
        ASSERT_TRUE(waitFor([&] { return socket->State() == EventSocket::sckConnected; }));
        pool.give(QStringLiteral("a"), socket);
    }
    EXPECT_EQ(pool.idleCount(QStringLiteral("a")), UpstreamPool::MaxIdlePerServer);
    EXPECT_NE(sockets.front()->State(), EventSocket::sckConnected) << "the oldest goes first";
    const std::unique_ptr<EventSocket> taken(pool.take(QStringLiteral("a")));
    EXPECT_EQ(taken.get(), sockets.back()) << "the warmest is lent first";
    taken->setParent(nullptr);

    pool.closeIdle(1000);
    EXPECT_EQ(pool.idleCount(QStringLiteral("a")), UpstreamPool::MaxIdlePerServer - 1);
    Clock::advanceForTest(1001);
    pool.closeIdle(1000);
    EXPECT_EQ(pool.idleCount(QStringLiteral("a")), 0);
    EXPECT_EQ(pool.take(QStringLiteral("a")), nullptr);
}

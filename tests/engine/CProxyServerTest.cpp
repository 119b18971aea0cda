#include "CProxyServer.h"
#include "CTimer.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "FakeTimerPlatform.h"
#include "ProgramValues.h"
#include "ProxyHarness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace Qt::StringLiterals;

// Installed before the server is made and removed after it is gone.
struct InstalledTimers : FakeTimerPlatform {
    InstalledTimers() { TimerPlatform::setInstance(this); }
    ~InstalledTimers() override
    {
        TimerPlatform::setInstance(nullptr);
        Clock::setNowForTest(std::nullopt);
    }
};

class ServerTest : public testing::Test
{
protected:
    static void start(CProxyServer &server, qint32 port, std::optional<double> maxConnections = std::nullopt)
    {
        CProxyServer::StartArgs args;
        args.Local_Port = port;
        args.MaxConnections = maxConnections;
        server.StartServer(args);
    }
    // Opens a browser connection and waits until the server has taken or refused it.
    QTcpSocket *connectClient()
    {
        const auto dealtWith
            = [this] { return h.server->Connections() + h.logLines().count(u"Max Connections Reached"_s); };
        const double before = dealtWith();
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(h.server->Port()));
        EXPECT_TRUE(waitFor([&] { return dealtWith() > before; }));
        return clients.back().get();
    }

    InstalledTimers timers;
    ProxyHarness h;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
};

TEST_F(ServerTest, ConnectionsAndHitsAreKeptThroughRestartsAndSocketEventsAndATakenPortIsReported)
{
    const quint16 port = h.port();
    EXPECT_EQ(std::pair(ServerIP, ServerPort), std::pair(u"127.0.0.1"_s, qint32(port)));
    // Guards against an unlimited default: each connection costs descriptors.
    EXPECT_GT(h.server->MaxConnections(), 0);
    connectClient();
    connectClient();
    const auto table = h.server->connections();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(h.logLines().filter(u"Adding"_s),
        (QStringList { u"Adding #1 - %1"_s.arg(table[0]->RequestID()),
            u"Adding #2 - %1"_s.arg(table[1]->RequestID()) }));
    EXPECT_EQ(h.shell.icons, (QList<qint16> { 1, 1 }));
    EXPECT_EQ(timers.setCalls, 1) << "a running sweep timer is left alone";
    for (int i = 0; i < 3; ++i)
        h.server->AddHit(u"GET - /index.html"_s, u"10.0.0.7"_s);
    EXPECT_EQ(h.logLines().last(), u"3 - 10.0.0.7 - Requesting GET - /index.html"_s);

    h.server->listener()->raiseError(10048, u"Address in use"_s);
    h.server->listener()->raiseDataArrival(5);
    h.server->RestartServer();
    const QString started = u"Proxy server started on 127.0.0.1:%1"_s.arg(port);
    const QString restarting = u"Restarting proxy server on 127.0.0.1:%1"_s.arg(port);
    EXPECT_EQ(h.logLines().filter(u"proxy server"_s, Qt::CaseInsensitive),
        (QStringList { started, restarting, started, restarting, started }));
    EXPECT_EQ(h.shell.messages.size(), 2) << "each listening socket event is shown";
    h.server->StopServer();
    EXPECT_TRUE(h.server->timer()->Enabled()) << "stopping does not stop the sweep of live connections";

    h.server->RemoveRequest(table[1]->RequestID() + 1000);
    EXPECT_EQ(h.server->connections().size(), 2u) << "an unknown identifier removes nothing";
    for (const auto &connection : table)
        h.server->RemoveRequest(connection->RequestID());
    EXPECT_EQ(h.logLines().last(), u"Removing #%1"_s.arg(table[1]->RequestID()));
    EXPECT_EQ(std::pair(h.shell.icons.last(), h.server->timer()->Enabled()), std::pair(qint16(0), false));
    EXPECT_EQ(h.server->Connections(), 2.0) << "the count of accepted connections never decreases";

    // Guards against offering the proxy on every network the machine joins.
    CProxyServer fresh(&h.shell);
    start(fresh, -5);
    EXPECT_EQ(std::pair(fresh.IP(), fresh.Port()), std::pair(u"127.0.0.1"_s, qint32(80)));

    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    h.log.text.clear();
    start(*h.server, occupant.serverPort());
    EXPECT_FALSE(h.server->Running());
    EXPECT_EQ(h.logLines(),
        (QStringList { u"Unable to start proxy server on 127.0.0.1:%1"_s.arg(occupant.serverPort()),
            u"Proxy Server Error: "_s + h.server->lastStartError() }));
}

TEST_F(ServerTest, ConnectionsOverTheLimitAreAnswered503AndClosed)
{
    // Guards against a modal box per refused connection, which stacked up under load and told
    // the browser nothing; the limit is compared as a floating-point number.
    for (const auto &[limit, accepted] : { std::pair { 2.0, 2 }, std::pair { 2.5, 3 } }) {
        SCOPED_TRACE(limit);
        for (const auto &connection : std::vector(h.server->connections()))
            h.server->RemoveRequest(connection->RequestID());
        h.log.text.clear();
        start(*h.server, ProxyHarness::freePort(), limit);
        QList<QTcpSocket *> refused;
        for (int i = 0; i < 4; ++i)
            refused << connectClient();
        refused = refused.mid(accepted);
        EXPECT_EQ(h.server->connections().size(), size_t(accepted));
        EXPECT_TRUE(waitFor([&] {
            return std::all_of(refused.begin(), refused.end(),
                [](QTcpSocket *c) { return c->state() == QAbstractSocket::UnconnectedState; });
        }));
        for (QTcpSocket *client : refused)
            EXPECT_TRUE(client->readAll().startsWith("HTTP/1.1 503 Service Unavailable\r\n"));
        EXPECT_TRUE(h.shell.messages.isEmpty());
        EXPECT_EQ(h.logLines().filter(u"Refused: 503"_s).size(), 4 - accepted);
    }
}

TEST_F(ServerTest, SweepClosesIdleConnectionsAndHeadersThatTrickle)
{
    // Guards against the sweep skipping the connection that moves into a removed one's place
    // (connections idle since the same moment closed in halves), and against a header sent a
    // byte at a time keeping its connection for ever.
    Clock::setNowForTest(QDateTime(QDate(2026, 1, 2), QTime(10, 0, 0)));
    for (int i = 0; i < 12; ++i)
        connectClient();
    QTcpSocket *trickler = connectClient();
    const auto send = [&](const QByteArray &bytes) {
        const auto connection = h.server->connections().back();
        const qint64 before = connection->RequestLength();
        trickler->write(bytes);
        ASSERT_TRUE(waitFor([&] { return connection->RequestLength() > before; }));
    };
    send("GET http://127.0.0.1/ HTTP/1.1\r\nHost: a");
    for (int second = 5; second < 30; second += 5) {
        Clock::advanceForTest(5000);
        send("b");
        timers.tick();
    }
    EXPECT_EQ(h.server->connections().size(), 13u) << "nothing idle yet, the header deadline not reached";
    Clock::advanceForTest(36000);
    timers.tick();
    EXPECT_EQ(h.server->connections().size(), 1u) << "every idle connection closes in one pass";
    EXPECT_TRUE(waitFor([&] { return trickler->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(h.server->connections().empty());
    EXPECT_TRUE(trickler->readAll().startsWith("HTTP/1.1 408 Request Timeout\r\n"));
}

TEST_F(ServerTest, UpdateItemWritesOnlyTheGivenCells)
{
    // Guards against a partial report (a failure's status) blanking the cells it does not name,
    // and against lengths shown as bare digits rather than grouped as the locale does.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    CProxyServer::RowReport first, status;
    first.URL = u"http://example.test/a"_s;
    first.RequestLength = 1234567;
    status.Status = u"ERROR"_s;
    status.Code = 502;
    const quint64 id = h.server->nextExchangeID();
    h.server->AddItem(id, first);
    h.server->UpdateItem(id, status);
    QLocale::setDefault(QLocale::system());
    EXPECT_EQ(h.shell.list.cells(1).mid(3, 7),
        (QStringList { u"http://example.test/a"_s, u"1,234,567"_s, {}, u"ERROR"_s, {}, {}, u"502"_s }));
}

TEST_F(ServerTest, CleanupStopsTheExchangesUnderWayOnce)
{
    // Guards against transfers that went on after the exit purge and wrote records behind it.
    FakeOrigin origin;
    origin.setHold(true);
    QTcpSocket *browser = connectClient();
    browser->write(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    h.server->Cleanup();
    h.server->Cleanup();
    EXPECT_TRUE(h.server->connections().empty());
    EXPECT_TRUE(waitFor([&] {
        return origin.connectionsClosedByPeer == 1 && browser->state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(h.logLines().count(u"Stopped proxy server on 127.0.0.1:%1"_s.arg(h.server->Port())), 1);
}

} // namespace

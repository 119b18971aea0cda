#include "CProxyServer.h"
#include "CRequest.h"
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

class ServerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        TimerPlatform::setInstance(&timers);
        server = std::make_unique<CProxyServer>(&shell);
        server->AccessLog().AttachTextBox(&log);
    }
    void TearDown() override
    {
        clients.clear();
        server.reset();
        flushDeferredDeletes();
        TimerPlatform::setInstance(nullptr);
        Clock::setNowForTest(std::nullopt);
    }

    void start(qint32 port, std::optional<double> maxConnections = std::nullopt)
    {
        CProxyServer::StartArgs args;
        args.IP_Address = QStringLiteral("127.0.0.1");
        args.Local_Port = port;
        args.MaxConnections = maxConnections;
        server->StartServer(args);
    }
    // Opens a browser connection and waits until the server has taken or refused it.
    QTcpSocket *connectClient()
    {
        const auto dealtWith = [this] {
            return server->Connections() + lines().count(QStringLiteral("Max Connections Reached"));
        };
        const double before = dealtWith();
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->Port()));
        EXPECT_TRUE(waitFor([&] { return dealtWith() > before; }));
        return clients.back().get();
    }
    // The log lines without their date stamps.
    QStringList lines() const
    {
        return QString(log.text)
            .remove(QRegularExpression(
                QStringLiteral("^\\d+/\\d+/\\d+ \\d+:\\d+:\\d+[^:]*: "), QRegularExpression::MultilineOption))
            .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    TestFolder folder;
    FakeTimerPlatform timers;
    FakeShell shell;
    MemoryLogBox log;
    std::unique_ptr<CProxyServer> server;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
};

TEST_F(ServerTest, ListeningConnectionsAndHitsAreKeptThroughRestartsAndSocketEvents)
{
    const quint16 port = ProxyHarness::freePort();
    start(port);
    EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ServerPort, port);
    // Guards against an unlimited default: each connection costs descriptors.
    EXPECT_GT(server->MaxConnections(), 0);
    connectClient();
    connectClient();
    const auto table = server->connections();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(lines().filter(QStringLiteral("Adding")),
        (QStringList { QStringLiteral("Adding #1 - %1").arg(table[0]->RequestID()),
            QStringLiteral("Adding #2 - %1").arg(table[1]->RequestID()) }));
    EXPECT_EQ(shell.icons, (QList<qint16> { 1, 1 }));
    EXPECT_EQ(timers.setCalls, 1) << "a running sweep timer is left alone";
    for (int i = 0; i < 3; ++i)
        server->AddHit(QStringLiteral("GET - /index.html"), QStringLiteral("10.0.0.7"));
    EXPECT_EQ(lines().last(), QStringLiteral("3 - 10.0.0.7 - Requesting GET - /index.html"));

    server->listener()->raiseError(10048, QStringLiteral("Address in use"));
    server->listener()->raiseDataArrival(5);
    server->RestartServer();
    const QString started = QStringLiteral("Proxy server started on 127.0.0.1:%1").arg(port);
    const QString restarting = QStringLiteral("Restarting proxy server on 127.0.0.1:%1").arg(port);
    EXPECT_EQ(lines().filter(QStringLiteral("proxy server"), Qt::CaseInsensitive),
        (QStringList { started, restarting, started, restarting, started }));
    EXPECT_EQ(shell.messages.size(), 2) << "each listening socket event is shown";
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(probe.waitForConnected(2000)) << "listening again after the restarts";
    server->StopServer();
    EXPECT_TRUE(server->timer()->Enabled()) << "stopping does not stop the sweep of live connections";

    server->RemoveRequest(table[1]->RequestID() + 1000);
    EXPECT_EQ(server->connections().size(), 2u) << "an unknown identifier removes nothing";
    for (const auto &connection : table)
        server->RemoveRequest(connection->RequestID());
    EXPECT_EQ(lines().last(), QStringLiteral("Removing #%1").arg(table[1]->RequestID()));
    EXPECT_EQ(shell.icons.last(), 0);
    EXPECT_FALSE(server->timer()->Enabled());
    EXPECT_EQ(server->Connections(), 2.0) << "the count of accepted connections never decreases";
}

TEST_F(ServerTest, StartsOnLoopbackByDefaultAndReportsATakenPort)
{
    // Guards against offering the proxy on every network the machine joins.
    CProxyServer::StartArgs args;
    args.Local_Port = -5;
    server->StartServer(args);
    EXPECT_EQ(server->IP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(server->Port(), 80);

    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    log.text.clear();
    start(occupant.serverPort());
    EXPECT_FALSE(server->Running());
    EXPECT_EQ(lines(),
        (QStringList {
            QStringLiteral("Unable to start proxy server on 127.0.0.1:%1").arg(occupant.serverPort()),
            QStringLiteral("Proxy Server Error: ") + server->lastStartError() }));
}

TEST_F(ServerTest, ConnectionsOverTheLimitAreAnswered503AndClosed)
{
    // Guards against a modal box per refused connection, which stacked up under load and told
    // the browser nothing; the limit is compared as a floating-point number.
    for (const auto &[limit, accepted] : { std::pair { 2.0, 2 }, std::pair { 2.5, 3 } }) {
        SCOPED_TRACE(limit);
        TearDown();
        log.text.clear();
        SetUp();
        start(ProxyHarness::freePort(), limit);
        QList<QTcpSocket *> refused;
        for (int i = 0; i < 4; ++i)
            refused << connectClient();
        refused = refused.mid(accepted);
        EXPECT_EQ(server->connections().size(), size_t(accepted));
        EXPECT_TRUE(waitFor([&] {
            return std::all_of(refused.begin(), refused.end(),
                [](QTcpSocket *c) { return c->state() == QAbstractSocket::UnconnectedState; });
        }));
        for (QTcpSocket *client : refused)
            EXPECT_TRUE(client->readAll().startsWith("HTTP/1.1 503 Service Unavailable\r\n"));
        EXPECT_TRUE(shell.messages.isEmpty());
        EXPECT_EQ(lines().filter(QStringLiteral("Refused: 503")).size(), 4 - accepted);
    }
}

TEST_F(ServerTest, SweepClosesIdleConnectionsAndHeadersThatTrickle)
{
    // Guards against the sweep skipping the connection that moves into a removed one's place
    // (connections idle since the same moment closed in halves), and against a header sent a
    // byte at a time keeping its connection for ever.
    Clock::setNowForTest(QDateTime(QDate(2026, 1, 2), QTime(10, 0, 0)));
    start(ProxyHarness::freePort());
    for (int i = 0; i < 12; ++i)
        connectClient();
    QTcpSocket *trickler = connectClient();
    const auto send = [&](const QByteArray &bytes) {
        const auto connection = server->connections().back();
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
    EXPECT_EQ(server->connections().size(), 13u) << "nothing idle yet, the header deadline not reached";
    Clock::advanceForTest(36000);
    timers.tick();
    EXPECT_EQ(server->connections().size(), 1u) << "every idle connection closes in one pass";
    EXPECT_TRUE(waitFor([&] { return trickler->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(server->connections().empty());
    EXPECT_TRUE(trickler->readAll().startsWith("HTTP/1.1 408 Request Timeout\r\n"));
}

TEST_F(ServerTest, UpdateItemWritesOnlyTheGivenCells)
{
    // Guards against a partial report (a failure's status) blanking the cells it does not name,
    // and against lengths shown as bare digits rather than grouped as the locale does.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    shell.list.add();
    CProxyServer::RowReport first, status;
    first.URL = QStringLiteral("http://example.test/a");
    first.RequestLength = 1234567;
    status.Status = QStringLiteral("ERROR");
    server->UpdateItem(1, first);
    server->UpdateItem(1, status);
    QLocale::setDefault(QLocale::system());
    EXPECT_EQ(shell.list.cells(1).mid(3, 4),
        (QStringList { QStringLiteral("http://example.test/a"), QStringLiteral("1,234,567"), {},
            QStringLiteral("ERROR") }));
}

TEST_F(ServerTest, CleanupStopsTheExchangesUnderWayOnce)
{
    // Guards against transfers that went on after the exit purge and wrote records behind it.
    FakeOrigin origin;
    origin.setHold(true);
    start(ProxyHarness::freePort());
    QTcpSocket *browser = connectClient();
    browser->write(origin.getRequest());
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    server->Cleanup();
    server->Cleanup();
    EXPECT_TRUE(server->connections().empty());
    EXPECT_TRUE(waitFor([&] {
        return origin.connectionsClosedByPeer == 1 && browser->state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(lines().count(QStringLiteral("Stopped proxy server on 127.0.0.1:%1").arg(server->Port())), 1);
}

} // namespace

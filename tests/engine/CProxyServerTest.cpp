#include "CProxyServer.h"
#include "CLog.h"
#include "CProxyConnection.h"
#include "CTimer.h"
#include "CTimerGlobal.h"
#include "Clock.h"
#include "EventSocket.h"
#include "FakeShell.h"
#include "FakeTimerPlatform.h"
#include "MemoryLogBox.h"
#include "ProgramValues.h"
#include "ProxyHarness.h"
#include "TarnwickVersion.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// The log lines without their date stamps.
QStringList logLines(const MemoryLogBox &box)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d\\d.\\d\\d.\\d{4} \\d\\d.\\d\\d.\\d\\d [^:]*: "));
    QStringList lines = box.text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines)
        line.remove(stamp);
    return lines;
}

class ServerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        TimerPlatform::setInstance(&timers);
        server = std::make_unique<CProxyServer>(&shell);
        server->AccessLog().AttachTextBox(&log);
        server->AccessLog().SetDateFormat(QString());
    }

    void TearDown() override
    {
        for (auto &client : clients)
            client->abort();
        server.reset();
        flushDeferredDeletes();
        TimerPlatform::setInstance(nullptr);
        Clock::setNowForTest(std::nullopt);
    }

    void startOn(quint16 port, std::optional<double> maxConnections = std::nullopt)
    {
        CProxyServer::StartArgs args;
        args.IP_Address = QStringLiteral("127.0.0.1");
        args.Local_Port = port;
        args.MaxConnections = maxConnections;
        server->StartServer(args);
        ASSERT_TRUE(server->Running()) << server->lastStartError().toStdString();
    }

    // Opens a browser connection and waits until the server has dealt with it.
    void connectClient()
    {
        const double before = server->Connections();
        const size_t messagesBefore = static_cast<size_t>(shell.messages.size());
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->Port()));
        ASSERT_TRUE(waitFor([&] {
            return server->Connections() > before
                || static_cast<size_t>(shell.messages.size()) > messagesBefore;
        }));
        clients.push_back(std::move(client));
    }

    TestFolder folder;
    FakeTimerPlatform timers;
    FakeShell shell;
    MemoryLogBox log;
    std::unique_ptr<CProxyServer> server;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
};

TEST_F(ServerTest, StartsOnTheGivenAddressAndPublishesWhatItBound)
{
    const quint16 port = ProxyHarness::freePort();
    startOn(port);
    EXPECT_EQ(server->Port(), port);
    EXPECT_EQ(ServerIP, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ServerPort, port);
    EXPECT_EQ(server->Timeout(), 60);
    EXPECT_TRUE(server->AutoRespond());
    EXPECT_EQ(server->MaxConnections(), 0.0);
    EXPECT_EQ(
        logLines(log), QStringList { QStringLiteral("Proxy server started on 127.0.0.1:%1").arg(port) });
}

TEST_F(ServerTest, EmptyAddressListensOnLoopbackAndPortBelowOneOn80)
{
    // Guards against offering the proxy on every network the machine joins.
    CProxyServer::StartArgs args;
    args.Local_Port = -5;
    server->StartServer(args);
    EXPECT_EQ(server->IP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(server->Port(), 80);
}

TEST_F(ServerTest, TakenPortLeavesTheServerStoppedWithTwoLogLines)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    const quint16 port = occupant.serverPort();

    CProxyServer::StartArgs args;
    args.IP_Address = QStringLiteral("127.0.0.1");
    args.Local_Port = port;
    server->StartServer(args);

    EXPECT_FALSE(server->Running());
    EXPECT_FALSE(server->lastStartError().isEmpty());
    const QStringList lines = logLines(log);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Unable to start proxy server on 127.0.0.1:%1").arg(port));
    EXPECT_EQ(lines[1], QStringLiteral("Proxy Server Error: ") + server->lastStartError());
}

TEST_F(ServerTest, RestartWhileListeningKeepsLiveConnections)
{
    startOn(ProxyHarness::freePort());
    connectClient();
    ASSERT_EQ(server->connections().size(), 1u);

    server->RestartServer();
    EXPECT_TRUE(server->Running());
    EXPECT_EQ(server->connections().size(), 1u);
    const QStringList lines = logLines(log);
    EXPECT_EQ(lines.at(lines.size() - 2),
        QStringLiteral("Restarting proxy server on 127.0.0.1:%1").arg(server->Port()));
    EXPECT_EQ(lines.last(), QStringLiteral("Proxy server started on 127.0.0.1:%1").arg(server->Port()));

    server->StopServer();
    EXPECT_FALSE(server->Running());
    EXPECT_EQ(server->connections().size(), 1u);
    EXPECT_TRUE(server->timer()->Enabled()) << "stopping does not stop the sweep of live connections";
}

TEST_F(ServerTest, ConnectionLimitIsComparedAsFloatingPoint)
{
    struct Row {
        const char *name;
        double limit;
        int accepted;
    };
    const Row rows[] = { { "limit 2 refuses the third", 2.0, 2 }, { "limit 2.5 takes a third", 2.5, 3 } };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        shell = FakeShell {};
        log.text.clear();
        SetUp();
        startOn(ProxyHarness::freePort(), row.limit);
        for (int i = 0; i < 4; ++i)
            connectClient();
        EXPECT_EQ(server->connections().size(), static_cast<size_t>(row.accepted));
        EXPECT_EQ(server->Connections(), row.accepted);
        EXPECT_EQ(shell.messages.size(), 4 - row.accepted);
        EXPECT_EQ(shell.messages.value(0), QStringLiteral("Connection limit reached"));
        EXPECT_EQ(logLines(log).count(QStringLiteral("Max Connections Reached")), 4 - row.accepted);
    }
}

TEST_F(ServerTest, AcceptingLogsCountsArmsTheSweepOnceAndShowsBusy)
{
    startOn(ProxyHarness::freePort());
    connectClient();
    connectClient();

    const auto &table = server->connections();
    ASSERT_EQ(table.size(), 2u);
    const QStringList lines = logLines(log);
    EXPECT_EQ(lines[1], QStringLiteral("Adding #1 - %1").arg(table[0]->RequestID()));
    EXPECT_EQ(lines[2], QStringLiteral("Adding #2 - %1").arg(table[1]->RequestID()));
    EXPECT_EQ(shell.icons, (QList<qint16> { 1, 1 }));
    EXPECT_EQ(timers.setCalls, 1) << "a running sweep timer is left alone";
    EXPECT_EQ(timers.lastElapse, 5000u);
    EXPECT_EQ(server->GetIndexByID(table[1]->RequestID()), 2);
}

TEST_F(ServerTest, RemovingFromAnEmptyTableStillStopsTheSweepAndShowsIdle)
{
    startOn(ProxyHarness::freePort());
    log.text.clear();
    server->RemoveRequest(12345);
    EXPECT_TRUE(log.text.isEmpty());
    EXPECT_EQ(shell.icons, QList<qint16> { 0 });
    EXPECT_FALSE(server->timer()->Enabled());
}

TEST_F(ServerTest, RemovingTheLastConnectionLogsItAndGoesIdle)
{
    startOn(ProxyHarness::freePort());
    connectClient();
    const qint32 id = server->connections().front()->RequestID();
    server->RemoveRequest(id + 1000);
    EXPECT_EQ(server->connections().size(), 1u) << "an unknown identifier removes nothing";
    server->RemoveRequest(id);
    EXPECT_TRUE(server->connections().empty());
    EXPECT_EQ(logLines(log).last(), QStringLiteral("Removing #%1").arg(id));
    EXPECT_EQ(shell.icons.last(), 0);
    EXPECT_EQ(timers.killedIds.size(), 1u);
    EXPECT_EQ(server->Connections(), 1.0) << "the count of accepted connections never decreases";
}

TEST_F(ServerTest, SweepRemovesOneIdleConnectionPerPositionPerPass)
{
    // Guards against the sweep skipping past, or reading beyond, a table that shrinks under it.
    Clock::setNowForTest(QDateTime(QDate(2026, 1, 2), QTime(10, 0, 0)));
    startOn(ProxyHarness::freePort());
    connectClient();
    connectClient();
    ASSERT_EQ(server->connections().size(), 2u);

    Clock::advanceForTest(61 * 1000);
    timers.tick();
    EXPECT_EQ(server->connections().size(), 1u) << "the second connection moved into position 1 and waits";
    flushDeferredDeletes();
    timers.tick();
    EXPECT_TRUE(server->connections().empty());
    flushDeferredDeletes();
    EXPECT_FALSE(timers.running);
}

TEST_F(ServerTest, UpdateItemWritesOnlyTheGivenCellsOfRowsThatExist)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    shell.list.add();
    shell.list.add();

    CProxyServer::RowReport full;
    full.Host = QStringLiteral("example.test");
    full.IP = QStringLiteral("127.0.0.1");
    full.Desc = QStringLiteral("GET");
    full.URL = QStringLiteral("http://example.test/a");
    full.RequestLength = 1234567;
    full.ResponseLength = 0.6;
    full.RequestFile = QStringLiteral("C:\\x\\requests\\q.txt");
    full.ResponseFile = QStringLiteral("/x/requests/a.txt");
    full.Status = QStringLiteral("TO-WEB");
    server->UpdateItem(2, full);
    EXPECT_EQ(shell.list.cells(2),
        (QStringList { QStringLiteral("example.test"), QStringLiteral("127.0.0.1"), QStringLiteral("GET"),
            QStringLiteral("http://example.test/a"), QStringLiteral("1,234,567"), QStringLiteral("1"),
            QStringLiteral("TO-WEB"), QStringLiteral("q.txt"), QStringLiteral("a.txt") }));

    CProxyServer::RowReport status;
    status.Status = QStringLiteral("DONE");
    server->UpdateItem(2, status);
    QStringList expected = shell.list.cells(2);
    expected[6] = QStringLiteral("DONE");
    EXPECT_EQ(shell.list.cells(2), expected);

    server->UpdateItem(0, full);
    server->UpdateItem(3, full);
    server->UpdateItem(-1, full);
    EXPECT_EQ(shell.list.cells(1), QStringList(9));
    EXPECT_EQ(shell.list.count(), 2);
    QLocale::setDefault(QLocale::system());
}

TEST(ServerStatics, GetFileNameTakesTheTextAfterEitherSeparator)
{
    struct Row {
        const char *path;
        const char *name;
    };
    const Row rows[] = { { "C:\\a\\b.txt", "b.txt" }, { "/a/b.txt", "b.txt" }, { "b.txt", "b.txt" },
        { "C:\\a\\", "" }, { "a/b\\c.txt", "c.txt" }, { "", "" } };
    for (const Row &row : rows)
        EXPECT_EQ(CProxyServer::GetFileName(QString::fromLatin1(row.path)), QString::fromLatin1(row.name))
            << row.path;
}

TEST_F(ServerTest, VersionIsTheBuildVersionInPlainDecimal)
{
    EXPECT_EQ(server->Version(),
        QStringLiteral("%1.%2.%3")
            .arg(TARNWICK_VERSION_MAJOR)
            .arg(TARNWICK_VERSION_MINOR)
            .arg(TARNWICK_VERSION_PATCH));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^(0|[1-9]\\d*)\\.(0|[1-9]\\d*)\\.(0|[1-9]\\d*)$"))
                    .match(server->Version())
                    .hasMatch());
}

TEST_F(ServerTest, HitsAreCountedAndLogged)
{
    server->AddHit(QStringLiteral("GET - /index.html"), QStringLiteral("10.0.0.7"));
    server->AddHit(QStringLiteral("GET - /index.html"), QStringLiteral("10.0.0.7"));
    server->AddHit(QStringLiteral("GET - /index.html"), QStringLiteral("10.0.0.7"));
    EXPECT_EQ(server->Hits(), 3.0);
    EXPECT_EQ(logLines(log).last(), QStringLiteral("3 - 10.0.0.7 - Requesting GET - /index.html"));
}

TEST_F(ServerTest, DataOnTheListeningSocketRejectsAndRestarts)
{
    CLog serverLog;
    startOn(ProxyHarness::freePort());
    const qint32 port = server->Port();
    log.text.clear();
    server->listener()->raiseDataArrival(5);

    ASSERT_EQ(shell.messages.size(), 1);
    EXPECT_TRUE(shell.messages[0].startsWith(QStringLiteral("Received data on main socket. Rejected user ")));
    EXPECT_EQ(shell.messageIcons[0], IProxyShell::MessageIcon::None);
    EXPECT_TRUE(server->Running());
    EXPECT_EQ(logLines(log),
        (QStringList { QStringLiteral("Restarting proxy server on 127.0.0.1:%1").arg(port),
            QStringLiteral("Proxy server started on 127.0.0.1:%1").arg(port) }));
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    EXPECT_TRUE(probe.waitForConnected(2000)) << "listening again after the restart";
}

TEST_F(ServerTest, SocketErrorIsShownAndChangesNothing)
{
    startOn(ProxyHarness::freePort());
    log.text.clear();
    server->listener()->raiseError(10048, QStringLiteral("Address in use"));
    ASSERT_EQ(shell.messages.size(), 1);
    EXPECT_EQ(shell.messages[0], QStringLiteral("Proxy Winsock Error:\r\n\r\n10048 : Address in use"));
    EXPECT_EQ(shell.messageIcons[0], IProxyShell::MessageIcon::Exclamation);
    EXPECT_TRUE(server->Running());
    EXPECT_TRUE(log.text.isEmpty());
}

TEST_F(ServerTest, ConnectionsArriveWhileTheLimitBoxIsOpen)
{
    // Guards against a modal box's event loop corrupting the table while the handler waits.
    startOn(ProxyHarness::freePort(), 1);
    connectClient();
    bool inner = false;
    shell.onMessage = [&] {
        if (inner)
            return;
        inner = true;
        server->RemoveRequest(server->connections().front()->RequestID());
        auto late = std::make_unique<QTcpSocket>();
        late->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server->Port()));
        waitFor([&] { return server->connections().size() == 1; });
        clients.push_back(std::move(late));
    };
    connectClient();
    EXPECT_EQ(server->connections().size(), 1u);
    EXPECT_EQ(server->Connections(), 2.0);
}

TEST_F(ServerTest, CleanupStopsOnceAndReleasesEverything)
{
    startOn(ProxyHarness::freePort());
    connectClient();
    server->Cleanup();
    server->Cleanup();
    EXPECT_FALSE(server->Running());
    EXPECT_TRUE(server->connections().empty());
    EXPECT_EQ(
        logLines(log).count(QStringLiteral("Stopped proxy server on 127.0.0.1:%1").arg(server->Port())), 1);
}

} // namespace

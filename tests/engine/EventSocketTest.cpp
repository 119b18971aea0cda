#include "EventSocket.h"
#include "RaisedError.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int WaitMs = 10000;

QByteArray everyByteValue(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

// A listening adapter on 127.0.0.1 with a system-chosen port, a raw client connected to it and
// the adapter that accepted the client.
struct Link {
    EventSocket listener;
    std::unique_ptr<EventSocket> accepted;
    QTcpSocket client;
    QByteArray received;

    Link()
    {
        listener.Bind(0, QStringLiteral("127.0.0.1"));
        listener.Listen();
        QObject::connect(&listener, &EventSocket::ConnectionRequest, &listener, [this](qint32 id) {
            accepted = std::make_unique<EventSocket>();
            accepted->Accept(id);
        });
    }

    bool open()
    {
        client.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
        return QTest::qWaitFor(
            [this] { return accepted && client.state() == QAbstractSocket::ConnectedState; }, WaitMs);
    }

    // Every DataArrival takes what is waiting into `received`.
    void collect()
    {
        QObject::connect(accepted.get(), &EventSocket::DataArrival, accepted.get(), [this](qint32) {
            QByteArray chunk;
            accepted->GetData(chunk);
            received += chunk;
        });
    }
};

TEST(EventSocket, ListensOnAChosenPortAndCarriesEveryByteBothWays)
{
    Link link;
    EXPECT_GT(link.listener.LocalPort(), 0);
    EXPECT_EQ(link.listener.LocalIP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(link.listener.State(), EventSocket::sckListening);
    ASSERT_TRUE(link.open());
    EXPECT_EQ(link.accepted->State(), EventSocket::sckConnected);
    EXPECT_EQ(link.accepted->RemoteHostIP(), QStringLiteral("127.0.0.1"));
    link.collect();

    QByteArray upstream = everyByteValue(70000);
    upstream.prepend(QByteArray("\0\xFF\r\n", 4));
    link.client.write(upstream);
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.received.size() >= upstream.size(); }, WaitMs));
    EXPECT_EQ(link.received, upstream);

    const QByteArray downstream = QByteArray("\xFF\0\0\x80", 4) + everyByteValue(1000);
    QSignalSpy complete(link.accepted.get(), &EventSocket::SendComplete);
    link.accepted->SendData(downstream);
    QByteArray atClient;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            atClient += link.client.readAll();
            return atClient.size() >= downstream.size() && complete.count() == 1;
        },
        WaitMs));
    EXPECT_EQ(atClient, downstream);
}

TEST(EventSocket, PendingConnectionsAreAcceptedOrDropped)
{
    EventSocket listener;
    listener.Bind(0, QString());
    listener.Listen();
    EXPECT_EQ(listener.LocalIP(), QStringLiteral("127.0.0.1"));

    // Only every second connection is taken; the others must be closed, not left hanging.
    std::vector<std::unique_ptr<EventSocket>> taken;
    int requests = 0;
    QObject::connect(&listener, &EventSocket::ConnectionRequest, &listener, [&](qint32 id) {
        EXPECT_GT(id, 0);
        if (requests++ % 2 == 0) {
            taken.push_back(std::make_unique<EventSocket>());
            taken.back()->Accept(id);
        }
    });
    QTcpSocket first, second;
    QSignalSpy secondClosed(&second, &QAbstractSocket::disconnected);
    first.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests == 1; }, WaitMs));
    second.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return secondClosed.count() == 1; }, WaitMs));
    EXPECT_EQ(first.state(), QAbstractSocket::ConnectedState);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0]->State(), EventSocket::sckConnected);

    EventSocket stranger;
    try {
        stranger.Accept(987654);
        ADD_FAILURE() << "Accept of an unknown identifier succeeded";
    } catch (const RaisedError &error) {
        EXPECT_NE(error.Number, 0);
    }
    EXPECT_EQ(stranger.State(), EventSocket::sckClosed);
}

TEST(EventSocket, BindAndListenFailuresCarryWinsockNumbers)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));

    struct Row {
        const char *name;
        qint32 port;
        QString address;
        qint32 number;
    };
    const Row rows[] = {
        { "port already taken", qint32(holder.serverPort()), QStringLiteral("127.0.0.1"), 10048 },
        { "address of no local interface", 0, QStringLiteral("192.0.2.1"), 10049 },
        { "not an address", 0, QStringLiteral("proxy-host"), 10049 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EventSocket socket;
        try {
            socket.Bind(row.port, row.address);
            socket.Listen();
            ADD_FAILURE() << "no error raised";
        } catch (const RaisedError &error) {
            EXPECT_EQ(error.Number, row.number);
            EXPECT_FALSE(error.Description.isEmpty());
        }
        EXPECT_NE(socket.State(), EventSocket::sckListening);
        socket.Close();
    }
}

TEST(EventSocket, ConnectFailuresArriveLaterAsErrors)
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    struct Row {
        const char *name;
        QString host;
        qint32 port;
        qint16 number;
    };
    const Row rows[] = {
        { "refused port", QStringLiteral("127.0.0.1"), closedPort, 10061 },
        { "name under the reserved invalid domain", QStringLiteral("no-such-host.invalid"), 80, 11001 },
        { "the reserved name itself, with a root dot", QStringLiteral("INVALID."), 80, 11001 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EventSocket socket;
        QSignalSpy errors(&socket, &EventSocket::Error);
        QSignalSpy connected(&socket, &EventSocket::Connected);
        socket.Connect(row.host, row.port);
        EXPECT_EQ(errors.count(), 0) << "raised from inside Connect";
        ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, WaitMs));
        EXPECT_EQ(errors.at(0).at(0).value<qint16>(), row.number);
        EXPECT_FALSE(errors.at(0).at(1).toString().isEmpty());
        EXPECT_EQ(connected.count(), 0);
        EXPECT_EQ(socket.State(), EventSocket::sckError);
    }
}

TEST(EventSocket, ConnectsAndSendsALargeBlockWithOneCompletion)
{
    QTcpServer origin;
    ASSERT_TRUE(origin.listen(QHostAddress::LocalHost, 0));
    EventSocket socket;
    QSignalSpy connected(&socket, &EventSocket::Connected);
    socket.Connect(QStringLiteral("127.0.0.1"), origin.serverPort());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return connected.count() == 1 && origin.hasPendingConnections(); }, WaitMs));
    EXPECT_EQ(socket.State(), EventSocket::sckConnected);
    EXPECT_EQ(socket.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QTcpSocket *peer = origin.nextPendingConnection();

    QSignalSpy complete(&socket, &EventSocket::SendComplete);
    QSignalSpy progress(&socket, &EventSocket::sendProgress);
    const QByteArray block = everyByteValue(6 * 1024 * 1024);
    socket.SendData(block);
    QByteArray atPeer;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            atPeer += peer->readAll();
            return atPeer.size() >= block.size() && complete.count() >= 1;
        },
        WaitMs * 3));
    EXPECT_TRUE(atPeer == block);
    EXPECT_EQ(complete.count(), 1);
    ASSERT_GT(progress.count(), 0);
    EXPECT_EQ(progress.last().at(0).toLongLong(), 0);
}

TEST(EventSocket, OrderlyPeerCloseDeliversTheLastDataFirst)
{
    Link link;
    ASSERT_TRUE(link.open());
    QStringList order;
    QSignalSpy errors(link.accepted.get(), &EventSocket::Error);
    QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), [&](qint32) {
        QByteArray chunk;
        link.accepted->GetData(chunk);
        link.received += chunk;
        order << QStringLiteral("data");
    });
    QObject::connect(link.accepted.get(), &EventSocket::Closed, link.accepted.get(),
        [&] { order << QStringLiteral("closed"); });
    link.client.write("last words\0", 11);
    link.client.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.contains(QStringLiteral("closed")); }, WaitMs));
    EXPECT_EQ(link.received, QByteArray("last words\0", 11));
    EXPECT_EQ(order.last(), QStringLiteral("closed"));
    EXPECT_EQ(order.count(QStringLiteral("closed")), 1);
    EXPECT_EQ(errors.count(), 0);
    EXPECT_EQ(link.accepted->State(), EventSocket::sckClosing);
}

TEST(EventSocket, PausedReadingHoldsDataAndCloseUntilResumed)
{
    struct Row {
        const char *name;
        qsizetype size;
    };
    const Row rows[] = {
        { "few bytes, close seen while paused", 10 },
        { "5 MB, far beyond the paused read bound", 5 * 1024 * 1024 },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Link link;
        ASSERT_TRUE(link.open());
        link.accepted->setReadPaused(true);
        int arrivals = 0;
        int closes = 0;
        bool closedAfterEverything = false;
        const QByteArray payload = everyByteValue(row.size);
        QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), [&](qint32) {
            ++arrivals;
            QByteArray chunk;
            link.accepted->GetData(chunk);
            link.received += chunk;
        });
        QObject::connect(link.accepted.get(), &EventSocket::Closed, link.accepted.get(), [&] {
            ++closes;
            closedAfterEverything = link.received.size() == payload.size();
        });

        link.client.write(payload);
        link.client.disconnectFromHost();
        const qint32 bound = qint32(qMin<qsizetype>(row.size, 256 * 1024));
        ASSERT_TRUE(QTest::qWaitFor([&] { return link.accepted->BytesReceived() >= bound; }, WaitMs));
        // Give the close (or further reads) the chance to slip through while paused.
        QTest::qWait(50);
        EXPECT_LE(link.accepted->BytesReceived(), 256 * 1024);
        EXPECT_EQ(arrivals, 0);
        EXPECT_EQ(closes, 0);

        link.accepted->setReadPaused(false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return closes > 0; }, WaitMs * 3));
        EXPECT_TRUE(link.received == payload) << link.received.size() << " of " << payload.size();
        EXPECT_TRUE(closedAfterEverything);
        QTest::qWait(20);
        EXPECT_EQ(closes, 1);
    }
}

TEST(EventSocket, DataArrivingDuringANestedLoopIsStillAnnounced)
{
    // Guards against bytes that arrive while a DataArrival handler waits in a nested event loop
    // staying unannounced until some later arrival.
    Link link;
    ASSERT_TRUE(link.open());
    bool nested = false;
    QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), [&](qint32) {
        QByteArray chunk;
        link.accepted->GetData(chunk);
        link.received += chunk;
        if (!nested) {
            nested = true;
            link.client.write("second");
            EXPECT_TRUE(QTest::qWaitFor([&] { return link.accepted->BytesReceived() > 0; }, WaitMs));
        }
    });
    link.client.write("first");
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.received == "firstsecond"; }, WaitMs));
}

TEST(EventSocket, SurvivesBeingDestroyedFromItsOwnHandlers)
{
    enum class Where { DataArrival, Closed, Error, ConnectionRequest };
    struct Row {
        const char *name;
        Where where;
    };
    const Row rows[] = {
        { "DataArrival handler", Where::DataArrival },
        { "Closed handler", Where::Closed },
        { "Error handler", Where::Error },
        { "ConnectionRequest handler of the listener", Where::ConnectionRequest },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bool dropped = false;
        if (row.where == Where::ConnectionRequest) {
            auto listener = std::make_unique<EventSocket>();
            listener->Bind(0, QString());
            listener->Listen();
            QObject::connect(listener.get(), &EventSocket::ConnectionRequest, listener.get(), [&](qint32) {
                listener.reset();
                dropped = true;
            });
            QTcpSocket client;
            QSignalSpy clientClosed(&client, &QAbstractSocket::disconnected);
            client.connectToHost(QHostAddress::LocalHost, quint16(listener->LocalPort()));
            ASSERT_TRUE(QTest::qWaitFor([&] { return dropped && clientClosed.count() == 1; }, WaitMs));
            continue;
        }
        if (row.where == Where::Error) {
            auto socket = std::make_unique<EventSocket>();
            QObject::connect(socket.get(), &EventSocket::Error, socket.get(), [&] {
                socket.reset();
                dropped = true;
            });
            socket->Connect(QStringLiteral("gone.invalid"), 80);
            ASSERT_TRUE(QTest::qWaitFor([&] { return dropped; }, WaitMs));
            continue;
        }
        Link link;
        ASSERT_TRUE(link.open());
        QSignalSpy clientClosed(&link.client, &QAbstractSocket::disconnected);
        auto drop = [&] {
            link.accepted.reset();
            dropped = true;
        };
        if (row.where == Where::DataArrival) {
            QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), drop);
            link.client.write("one");
            ASSERT_TRUE(QTest::qWaitFor([&] { return dropped; }, WaitMs));
            link.client.write("two");
            // The dropped adapter's connection must go away, not linger half-owned.
            ASSERT_TRUE(QTest::qWaitFor([&] { return clientClosed.count() == 1; }, WaitMs));
        } else {
            link.collect();
            QObject::connect(link.accepted.get(), &EventSocket::Closed, link.accepted.get(), drop);
            link.client.write("bye");
            link.client.disconnectFromHost();
            ASSERT_TRUE(QTest::qWaitFor([&] { return dropped; }, WaitMs));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST(EventSocket, NoEventsAfterClose)
{
    Link link;
    ASSERT_TRUE(link.open());
    QSignalSpy arrivals(link.accepted.get(), &EventSocket::DataArrival);
    QSignalSpy closes(link.accepted.get(), &EventSocket::Closed);
    QSignalSpy errors(link.accepted.get(), &EventSocket::Error);
    QSignalSpy clientClosed(&link.client, &QAbstractSocket::disconnected);
    link.client.write("late");
    link.accepted->Close();
    EXPECT_EQ(link.accepted->State(), EventSocket::sckClosed);
    ASSERT_TRUE(QTest::qWaitFor([&] { return clientClosed.count() == 1; }, WaitMs));
    EXPECT_EQ(arrivals.count() + closes.count() + errors.count(), 0);
    link.accepted->Close();
}

TEST(EventSocket, CloseWithBytesStillQueuedDeliversThemFirst)
{
    // Guards against Close throwing away the part of a reply the system has not taken yet.
    Link link;
    ASSERT_TRUE(link.open());
    const QByteArray reply = everyByteValue(8 * 1024 * 1024);
    link.accepted->SendData(reply);
    ASSERT_GT(link.accepted->bytesToWrite(), 0);
    link.accepted->Close();
    QSignalSpy clientClosed(&link.client, &QAbstractSocket::disconnected);
    QByteArray atClient;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            atClient += link.client.readAll();
            return clientClosed.count() == 1;
        },
        WaitMs * 3));
    atClient += link.client.readAll();
    EXPECT_TRUE(atClient == reply) << atClient.size() << " of " << reply.size();
}

TEST(EventSocket, PeerGoneWithOurBytesQueuedIsAResetNotAClose)
{
    // Guards against a reply cut off by the peer being reported as an orderly close.
    Link link;
    ASSERT_TRUE(link.open());
    QSignalSpy errors(link.accepted.get(), &EventSocket::Error);
    QSignalSpy closes(link.accepted.get(), &EventSocket::Closed);
    link.accepted->SendData(everyByteValue(8 * 1024 * 1024));
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.client.bytesAvailable() > 0; }, WaitMs));
    link.client.abort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() + closes.count() > 0; }, WaitMs));
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).value<qint16>(), 10054);
    EXPECT_EQ(closes.count(), 0);
    EXPECT_EQ(link.accepted->State(), EventSocket::sckError);
}

} // namespace

#include "EventSocket.h"
#include "FakeOrigin.h"
#include "RaisedError.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

constexpr int WaitMs = 10000;

// A listener on 127.0.0.1, a raw client and the adapter that accepted it. The accepted adapter
// takes every arrival into `received` and notes each event, in order, in `events`.
struct Link {
    EventSocket listener;
    std::unique_ptr<EventSocket> accepted;
    QTcpSocket client;
    QByteArray received;
    QStringList events;

    Link()
    {
        listener.Bind(0, QStringLiteral("127.0.0.1"));
        listener.Listen();
        QObject::connect(&listener, &EventSocket::ConnectionRequest, &listener, [this](qint32 id) {
            accepted = std::make_unique<EventSocket>();
            accepted->Accept(id);
            EventSocket *s = accepted.get();
            QObject::connect(s, &EventSocket::DataArrival, s, [this, s](qint32) {
                QByteArray chunk;
                s->GetData(chunk);
                received += chunk;
                events << QStringLiteral("data");
            });
            QObject::connect(s, &EventSocket::Closed, s, [this] { events << QStringLiteral("closed"); });
            QObject::connect(s, &EventSocket::Error, s,
                [this](qint16 number) { events << QStringLiteral("error %1").arg(number); });
        });
    }

    bool open()
    {
        client.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
        return QTest::qWaitFor(
            [this] { return accepted && client.state() == QAbstractSocket::ConnectedState; }, WaitMs);
    }
};

TEST(EventSocket, FailuresCarryWinsockNumbers)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    const std::tuple<const char *, bool, qint32, const char *, qint32> rows[] = {
        { "port already taken", true, qint32(holder.serverPort()), "127.0.0.1", 10048 },
        { "address of no local interface", true, 0, "192.0.2.1", 10049 },
        { "not an address", true, 0, "proxy-host", 10049 },
        { "the reserved name itself, with a root dot", false, 80, "INVALID.", 11001 },
    };
    for (const auto &[name, listen, port, address, number] : rows) {
        SCOPED_TRACE(name);
        EventSocket socket;
        if (listen) {
            try {
                socket.Bind(port, QString::fromLatin1(address));
                socket.Listen();
                ADD_FAILURE() << "no error raised";
            } catch (const RaisedError &error) {
                EXPECT_EQ(error.Number, number);
            }
            continue;
        }
        // Connect failures arrive later from the event loop, never from inside Connect.
        QSignalSpy errors(&socket, &EventSocket::Error);
        socket.Connect(QString::fromLatin1(address), port);
        EXPECT_EQ(errors.count(), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, WaitMs));
        EXPECT_EQ(errors.at(0).at(0).value<qint16>(), number);
        EXPECT_EQ(socket.State(), EventSocket::sckError);
    }
}

TEST(EventSocket, PausedReadingHoldsDataAndCloseUntilResumed)
{
    // Guards against one read taking everything the system holds (tens of megabytes on loopback)
    // into memory at once. Few bytes test the close seen while paused; 5 MB the bound on reads.
    for (const qsizetype size : { qsizetype(10), qsizetype(5 * 1024 * 1024) }) {
        SCOPED_TRACE(size);
        Link link;
        ASSERT_TRUE(link.open());
        link.accepted->setReadPaused(true);
        const QByteArray payload = FakeOrigin::pattern(0, size);
        link.client.write(payload);
        link.client.disconnectFromHost();
        const qint32 bound = qint32(qMin<qsizetype>(size, 256 * 1024));
        ASSERT_TRUE(QTest::qWaitFor([&] { return link.accepted->BytesReceived() >= bound; }, WaitMs));
        // Give the close (or further reads) the chance to slip through while paused.
        QTest::qWait(50);
        EXPECT_LE(link.accepted->BytesReceived(), 256 * 1024);
        EXPECT_TRUE(link.events.isEmpty());

        link.accepted->setReadPaused(false);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return link.events.contains(QStringLiteral("closed")); }, WaitMs * 3));
        EXPECT_TRUE(link.received == payload) << link.received.size() << " of " << payload.size();
        EXPECT_EQ(link.events.last(), QStringLiteral("closed"));
    }
}

TEST(EventSocket, DataArrivingDuringANestedLoopIsStillAnnounced)
{
    // Guards against bytes that arrive while a DataArrival handler waits in a nested event loop
    // staying unannounced until some later arrival.
    Link link;
    ASSERT_TRUE(link.open());
    QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), [&](qint32) {
        if (link.received == "first") {
            link.client.write("second");
            EXPECT_TRUE(QTest::qWaitFor([&] { return link.accepted->BytesReceived() > 0; }, WaitMs));
        }
    });
    link.client.write("first");
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.received == "firstsecond"; }, WaitMs));
}

TEST(EventSocket, SurvivesBeingDestroyedFromItsOwnHandlers)
{
    {
        SCOPED_TRACE("ConnectionRequest handler of the listener");
        auto listener = std::make_unique<EventSocket>();
        listener->Bind(0, QString());
        listener->Listen();
        QObject::connect(listener.get(), &EventSocket::ConnectionRequest, listener.get(),
            [&](qint32) { listener.reset(); });
        QTcpSocket client;
        QSignalSpy clientClosed(&client, &QAbstractSocket::disconnected);
        client.connectToHost(QHostAddress::LocalHost, quint16(listener->LocalPort()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !listener && clientClosed.count() == 1; }, WaitMs));
    }
    {
        SCOPED_TRACE("Error handler");
        auto socket = std::make_unique<EventSocket>();
        QObject::connect(socket.get(), &EventSocket::Error, socket.get(), [&] { socket.reset(); });
        socket->Connect(QStringLiteral("gone.invalid"), 80);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !socket; }, WaitMs));
    }
    for (const bool inDataArrival : { true, false }) {
        SCOPED_TRACE(inDataArrival ? "DataArrival handler" : "Closed handler");
        Link link;
        ASSERT_TRUE(link.open());
        QSignalSpy clientClosed(&link.client, &QAbstractSocket::disconnected);
        const auto drop = [&] { link.accepted.reset(); };
        if (inDataArrival)
            QObject::connect(link.accepted.get(), &EventSocket::DataArrival, link.accepted.get(), drop);
        else
            QObject::connect(link.accepted.get(), &EventSocket::Closed, link.accepted.get(), drop);
        link.client.write("one");
        if (!inDataArrival)
            link.client.disconnectFromHost();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !link.accepted; }, WaitMs));
        if (inDataArrival) {
            // The dropped adapter's connection must go away, not linger half-owned.
            link.client.write("two");
            ASSERT_TRUE(QTest::qWaitFor([&] { return clientClosed.count() == 1; }, WaitMs));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST(EventSocket, APeerGoneBeforeOurBytesIsAReset)
{
    // Guards against a reply cut off by the peer being reported as an orderly close.
    Link link;
    ASSERT_TRUE(link.open());
    link.accepted->SendData(FakeOrigin::pattern(0, 4 * 1024 * 1024));
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.client.bytesAvailable() > 0; }, WaitMs));
    link.client.abort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !link.events.isEmpty(); }, WaitMs));
    EXPECT_EQ(link.events, QStringList { QStringLiteral("error 10054") });
    EXPECT_EQ(link.accepted->State(), EventSocket::sckError);
}

} // namespace

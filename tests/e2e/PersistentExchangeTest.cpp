#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "RecordWriter.h"

#include <gtest/gtest.h>

namespace {

using enum FakeOrigin::Closing;

QByteArray request(
    const FakeOrigin &origin, const char *method, const QString &path, const QByteArray &extra = {})
{
    return QByteArray(method) + ' ' + origin.url(path).toLatin1() + " HTTP/1.1\r\nHost: a\r\n" + extra
        + "\r\n";
}

} // namespace

// Regression: a reply ended only when the server closed, so a server that keeps its connection
// open (or a reply with no body) left the browser waiting until the idle sweep, unrecorded; a
// reply with invalid framing (or a 101 to a request that offered no upgrade) reached the browser
// as it came, unrecorded.
TEST(PersistentExchange, RepliesEndWhereTheirFramingSays)
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", bad = "HTTP/1.1 502 ";
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n",
                     lengths = "HTTP/1.1 200 OK\r\nContent-Length: ";
    const QByteArray switched
        = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
    const struct {
        const char *name;
        QList<QByteArray> reply;
        FakeOrigin::Closing closing;
        const char *invalid = nullptr; // why, as logged
        QByteArray answer = {}; // what the browser gets instead of the reply; a 502 up to its code
    } rows[] = {
        { "length, server ignores close", { ok }, Never },
        { "chunked with a trailer, server ignores close",
            { chunked + "5\r\nhello\r\n", "0\r\nX-Sum: 1\r\n\r\n" }, Never },
        { "100 Continue before the final reply", { interim, ok }, Never },
        { "204", { "HTTP/1.1 204 No Content\r\n\r\n" }, Never },
        { "close-delimited HTTP/1.0", { "HTTP/1.0 200 OK\r\n\r\n", "until the close" }, AfterReply },
        { "length past 64 bits", { lengths + "99999999999999999999\r\n\r\nab" }, Never,
            "invalid Content-Length", bad },
        { "negative length", { lengths + "-1\r\n\r\nab" }, Never, "invalid Content-Length", bad },
        { "negative chunk size", { chunked, "-5\r\nabcde\r\n" }, Never, "malformed chunk", chunked },
        { "endless interim replies", { interim.repeated(33) }, Never, "32 interim",
            interim.repeated(32) + bad },
        { "101 to a request that offered no upgrade", { switched }, Never, "asked for no upgrade", bad },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply(row.reply, row.closing);
        RawBrowser browser(h.port());
        browser.send(origin.getRequest());
        const bool closed = row.closing == AfterReply || row.invalid;
        const QLatin1String status(row.invalid ? "ERROR" : "DONE");
        ASSERT_TRUE(waitFor([&] { return h.rowCount() == 1 && h.row(1).at(6) == status; }, 2000))
            << h.row(1).join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(waitFor([&] { return browser.peerClosed; }, 200), closed);
        const QByteArray answer = row.invalid ? row.answer : origin.replyBytes();
        EXPECT_EQ(answer.endsWith(" 502 ") ? browser.received.left(answer.size()) : browser.received, answer);
        ASSERT_TRUE(RecordWriter::instance().drain(2000));
        EXPECT_EQ(h.readRecord(h.row(1).at(8)), origin.replyBytes());
        EXPECT_TRUE(!row.invalid || h.logLines().filter(QString::fromLatin1(row.invalid)).size() == 1);
        EXPECT_EQ(h.server->connections().size(), closed ? 0u : 1u);
    }
}

// Regression: every exchange cost a browser connection and a server connection; bytes after a
// request (a pipelined request) were dropped; and a burst of pipelined requests was read whole,
// each holding a copy of every byte after it, so that ten thousand tiny ones took a gigabyte.
TEST(PersistentExchange, PipelinedBurstWaitsUnreadPastTheBoundAndIsServedInOrderOverOneConnection)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx" }, WhenAsked);
    origin.setHold(true);
    RawBrowser browser(h.port());
    QList<QByteArray> sent;
    for (int i = 0; i < 48; ++i)
        sent << request(origin, "GET", QStringLiteral("/%1").arg(i));
    sent[1] = request(origin, "POST", QStringLiteral("/1"), "Content-Length: 4\r\n") + "body";
    sent[47] = request(origin, "GET", QStringLiteral("/47"), "Connection: close\r\n");
    browser.send(sent.join());
    ASSERT_TRUE(waitFor([&] { return h.rowCount() >= int(CProxyConnection::MaxPipelined); }));
    EXPECT_EQ(h.rowCount(), int(CProxyConnection::MaxPipelined));
    origin.release();
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    ASSERT_TRUE(h.waitUntilIdle());
    ASSERT_TRUE(RecordWriter::instance().drain(2000));

    EXPECT_EQ(browser.received, origin.replyBytes().repeated(48));
    EXPECT_EQ(origin.connectionsAccepted, 1);
    const QByteArray host = "\r\nHost: 127.0.0.1:" + QByteArray::number(origin.port()),
                     alive = "\r\nConnection: keep-alive\r\n\r\n";
    EXPECT_TRUE(origin.requests.value(0).startsWith("GET /0 HTTP/1.1" + host + alive + "POST /1 HTTP/1.1"
        + host + "\r\nContent-Length: 4" + alive + "bodyGET /2 "));
    EXPECT_TRUE(
        origin.requests.value(0).endsWith("GET /47 HTTP/1.1" + host + "\r\nConnection: close\r\n\r\n"));
    ASSERT_EQ(h.rowCount(), 48);
    for (int i = 0; i < 48; ++i) {
        EXPECT_EQ(h.row(i + 1).at(6), QStringLiteral("DONE"));
        EXPECT_EQ(h.readRecord(h.row(i + 1).at(7)), sent[i]);
        EXPECT_EQ(h.readRecord(h.row(i + 1).at(8)), origin.replyBytes());
    }
}

// Regression: a server that closed its kept-alive connection after a reply cost the browser a
// 502 for its next request, or the requests pipelined behind that reply.
TEST(PersistentExchange, ServerConnectionClosedBetweenRequestsIsTriedAgain)
{
    for (const bool pipelined : { false, true }) {
        SCOPED_TRACE(pipelined ? "closed with each reply, three requests pipelined" : "closed while idle");
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply(
            { "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none" }, pipelined ? WithLastChunk : WhenAsked);
        RawBrowser browser(h.port());
        const int count = pipelined ? 3 : 2;
        QByteArray sent;
        for (int i = 1; i <= count; ++i)
            sent += request(origin, "GET", QStringLiteral("/%1").arg(i));
        const qsizetype second = sent.indexOf("GET ", 1);
        browser.send(pipelined ? sent : sent.left(second));
        if (!pipelined) {
            ASSERT_TRUE(waitFor([&] { return browser.received == origin.replyBytes() && origin.idle(); }));
            origin.dropIdleConnections();
            waitFor([] { return false; }, 50);
            browser.send(sent.mid(second));
        }
        ASSERT_TRUE(waitFor([&] { return browser.received == origin.replyBytes().repeated(count); }))
            << browser.received.constData();
        EXPECT_EQ(origin.connectionsAccepted, count);
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(origin.requests.value(i).startsWith("GET /" + QByteArray::number(i + 1) + " "));
        EXPECT_TRUE(waitFor([&] { return h.row(count).at(6) == QStringLiteral("DONE"); }));
    }
}

// Regression: nothing was relayed after a 101, then a server frame in its write was dropped and
// the browser's frames went unrecorded.
TEST(PersistentExchange, WebSocketIsRelayedAndRecordedBothWaysAfterTheSwitch)
{
    // Frames come in the same writes as the request and the 101, and in writes of their own.
    const QByteArray frame("\x81\x05hello", 7);
    const QList<QByteArray> reply
        = { "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x81\x02hi",
              frame };
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply(reply, WhenAsked);
    RawBrowser browser(h.port());
    const QByteArray sent
        = request(origin, "GET", QStringLiteral("/ws"), "Upgrade: websocket\r\nConnection: Upgrade\r\n");
    browser.send(sent + frame);
    ASSERT_TRUE(waitFor([&] { return browser.received == reply.join(); }));
    browser.send(frame);
    ASSERT_TRUE(waitFor([&] { return origin.requests.value(0).endsWith(frame + frame); }));
    EXPECT_TRUE(
        origin.requests.value(0).contains("\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n" + frame));
    browser.close();
    ASSERT_TRUE(h.waitUntilIdle());
    ASSERT_TRUE(RecordWriter::instance().drain(2000));
    EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
    EXPECT_EQ(h.readRecord(h.row(1).at(7)), sent + frame + frame);
    EXPECT_EQ(h.readRecord(h.row(1).at(8)), reply.join());
}

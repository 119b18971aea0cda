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
// reply with invalid framing reached the browser as it came, unrecorded.
TEST(PersistentExchange, RepliesEndWhereTheirFramingSays)
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", bad = "HTTP/1.1 502 ";
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n",
                     lengths = "HTTP/1.1 200 OK\r\nContent-Length: ";
    const struct {
        const char *name;
        QList<QByteArray> reply;
        FakeOrigin::Closing closing;
        const char *invalid = nullptr; // why, as logged
        QByteArray answer = {}; // what the browser gets instead of the reply; a 502 up to its code
        const char *method = "GET";
        QByteArray body = {};
        bool browserClosed = false;
    } rows[] = {
        { "length, server ignores close", { ok }, Never },
        { "chunked with a trailer, server ignores close",
            { chunked + "5\r\nhello\r\n", "0\r\nX-Sum: 1\r\n\r\n" }, Never },
        { "100 Continue before the final reply", { interim, ok }, Never, nullptr, {}, "POST", "ab" },
        { "204", { "HTTP/1.1 204 No Content\r\n\r\n" }, Never },
        { "close-delimited HTTP/1.0", { "HTTP/1.0 200 OK\r\n\r\n", "until the close" }, AfterReply, nullptr,
            {}, "GET", {}, true },
        { "length past 64 bits", { lengths + "99999999999999999999\r\n\r\nab" }, Never,
            "invalid Content-Length", bad },
        { "negative length", { lengths + "-1\r\n\r\nab" }, Never, "invalid Content-Length", bad },
        { "two lengths", { lengths + "1\r\nContent-Length: 2\r\n\r\nab" }, Never,
            "two different Content-Length", bad },
        { "negative chunk size", { chunked, "-5\r\nabcde\r\n" }, Never, "malformed chunk", chunked },
        { "endless interim replies", { interim.repeated(33) }, Never, "32 interim",
            interim.repeated(32) + bad },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply(row.reply, row.closing);
        RawBrowser browser(h.port());
        const QByteArray length = row.body.isEmpty() ? QByteArray() : "Content-Length: 2\r\n";
        browser.send(request(origin, row.method, QStringLiteral("/x"), length) + row.body);
        const QString status = row.invalid ? QStringLiteral("ERROR") : QStringLiteral("DONE");
        ASSERT_TRUE(waitFor([&] { return h.rowCount() == 1 && h.row(1).at(6) == status; }, 2000))
            << h.row(1).join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(waitFor([&] { return browser.peerClosed; }, 200), row.browserClosed || row.invalid);
        const QByteArray answer = row.invalid ? row.answer : origin.replyBytes();
        EXPECT_EQ(answer.endsWith(" 502 ") ? browser.received.left(answer.size()) : browser.received, answer);
        ASSERT_TRUE(RecordWriter::instance().drain(2000));
        EXPECT_EQ(h.readRecord(h.row(1).at(8)), origin.replyBytes());
        if (row.invalid) {
            EXPECT_EQ(h.logLines().filter(QString::fromLatin1(row.invalid)).size(), 1);
        }
        EXPECT_EQ(h.server->connections().size(), row.browserClosed || row.invalid ? 0u : 1u);
    }
}

// Regression: every exchange cost a browser connection and a server connection, and bytes after
// a request (a pipelined request) were dropped.
TEST(PersistentExchange, RequestsOnOneConnectionAreServedInOrderOverOneServerConnection)
{
    ProxyHarness h;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none" }, WhenAsked);
    RawBrowser browser(h.port());
    const QList<QByteArray> sent = { request(origin, "GET", QStringLiteral("/1")),
        request(origin, "POST", QStringLiteral("/2"), "Content-Length: 4\r\nConnection: keep-alive\r\n")
            + "body",
        request(origin, "GET", QStringLiteral("/3"), "Connection: close\r\n") };
    browser.send(sent[0] + sent[1]);
    ASSERT_TRUE(waitFor([&] { return browser.received.size() == 2 * origin.replyBytes().size(); }));
    browser.send(sent[2]);
    ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
    ASSERT_TRUE(h.waitUntilIdle());

    EXPECT_EQ(browser.received, origin.replyBytes().repeated(3));
    EXPECT_EQ(origin.connectionsAccepted, 1);
    const QByteArray upstream
        = "GET /1 HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n"
          "POST /2 HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\nConnection: keep-alive\r\n\r\nbody"
          "GET /3 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(origin.requests.value(0),
        QByteArray(upstream).replace("Host: a", "Host: 127.0.0.1:" + QByteArray::number(origin.port())));
    ASSERT_EQ(h.rowCount(), 3);
    QStringList records;
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(h.row(i).at(6), QStringLiteral("DONE"));
        EXPECT_EQ(h.readRecord(h.row(i).at(7)), sent[i - 1]);
        EXPECT_EQ(h.readRecord(h.row(i).at(8)), origin.replyBytes());
        records << h.row(i).at(7) << h.row(i).at(8);
    }
    records.removeDuplicates();
    EXPECT_EQ(records.size(), 6);
    EXPECT_EQ(h.logLines().filter(QStringLiteral("Received ")).size(), 3);
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
            ASSERT_TRUE(waitFor([&] { return browser.received == origin.replyBytes(); }));
            waitFor([] { return false; }, 50);
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

// Regression: nothing was relayed after a 101, then a server frame in its write was dropped, the
// browser's frames went unrecorded, and a 101 to a request that offered no upgrade was obeyed.
TEST(PersistentExchange, WebSocketIsRelayedAndRecordedBothWaysAfterTheSwitch)
{
    const QByteArray switched
        = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
    const QByteArray offer = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    const QByteArray frame("\x81\x05hello", 7);
    const struct {
        const char *name;
        QByteArray fields;
        QByteArray early; // the browser's frame in the same write as its request
        QByteArray reply; // the server's first write
    } rows[] = {
        { "frames in the same write as the request and as the 101", offer, frame, switched + "\x81\x02hi" },
        { "101 to a request that offered no upgrade", {}, {}, switched },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyHarness h;
        FakeOrigin origin;
        origin.setReply({ row.reply }, WhenAsked);
        origin.setEcho(true);
        RawBrowser browser(h.port());
        const QByteArray sent = request(origin, "GET", QStringLiteral("/ws"), row.fields);
        browser.send(sent + row.early);
        if (row.fields.isEmpty()) {
            ASSERT_TRUE(waitFor([&] { return browser.peerClosed; }));
            EXPECT_TRUE(browser.received.startsWith("HTTP/1.1 502 ")) << browser.received.constData();
            EXPECT_EQ(h.logLines().filter(QStringLiteral("asked for no upgrade")).size(), 1);
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return browser.received == row.reply + row.early; }));
        browser.send(frame);
        ASSERT_TRUE(waitFor([&] { return browser.received == row.reply + row.early + frame; }));
        EXPECT_TRUE(
            origin.requests.value(0).contains("\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n"));
        browser.close();
        ASSERT_TRUE(h.waitUntilIdle());
        ASSERT_TRUE(RecordWriter::instance().drain(2000));
        EXPECT_EQ(h.row(1).at(6), QStringLiteral("DONE"));
        EXPECT_EQ(h.readRecord(h.row(1).at(7)), sent + row.early + frame);
        EXPECT_EQ(h.readRecord(h.row(1).at(8)), browser.received);
    }
}

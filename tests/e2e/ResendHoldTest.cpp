#include "Breakpoints.h"
#include "CExchange.h"
#include "Clock.h"
#include "FakeOrigin.h"
#include "HttpsFixtures.h"
#include "Http2Message.h"
#include "ProxyCredentials.h"
#include "RawBrowser.h"

#include <gtest/gtest.h>

using enum FakeOrigin::Closing;
using namespace Qt::StringLiterals;

namespace {
const QByteArray kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// Held exchanges and the ends of holds, as the window hears of them.
struct HeldLog {
    explicit HeldLog(CProxyServer *server)
    {
        QObject::connect(server, &CProxyServer::exchangeHeld, [this](const auto &one) { held.append(one); });
        QObject::connect(
            server, &CProxyServer::holdEnded, [this](quint64, const QString &how) { ended.append(how); });
    }
    QList<CProxyServer::HeldExchange> held;
    QStringList ended;
};

void holdAt(CProxyServer *server, const QString &pattern, bool request, bool reply)
{
    server->setBreakpoints(std::make_shared<const Breakpoints>(
        *Breakpoints::make({ BreakpointRule { pattern, request, reply } })));
}
} // namespace

// A request sent again reaches its server as the browser's own did: the same rewriting of the
// target and hop-by-hop fields, every other byte unchanged, over TLS for a decrypted exchange.
TEST(Resend, TheServerGetsTheRecordedRequestAgainByteForByte)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    const struct {
        const char *name;
        bool https;
        QByteArray head, body;
    } cases[] = {
        { "plain GET", false,
            "GET %1 HTTP/1.1\r\nHost: a\r\nX-Order: 1\r\nConnection: x-hop\r\nX-Hop: 1\r\n\r\n", "" },
        { "chunked POST", false, "POST %1 HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n",
            "5\r\nhello\r\n4;ext=1\r\n abc\r\n0\r\n\r\n" },
        { "decrypted POST", true, "", "x=1&y=2" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeOrigin origin(c.https ? &tls : nullptr);
        origin.setReply({ kReply });
        if (c.https) {
            const CurlResult curl
                = p.curl({ origin.url(u"/s?q=1"_s) }, { u"--data-binary"_s, QString::fromLatin1(c.body) });
            EXPECT_EQ(curl.out, "ok") << curl.err.constData();
        } else {
            RawBrowser browser(p.h.port());
            browser.send(QString::fromLatin1(c.head).arg(origin.url(u"/p?q=1"_s)).toLatin1() + c.body);
            EXPECT_TRUE(waitFor([&] { return browser.received.endsWith("ok"); }));
        }
        ASSERT_TRUE(p.h.waitUntilIdle());
        const int original = p.h.rowCount();
        const QStringList row = p.h.row(original);
        const QByteArray record = p.h.readRecord(row.at(7));
        p.h.server->resend({ { record, *HttpTarget::fromUrl(row.at(10).toLatin1()) } });
        ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 2; }))
            << p.h.logLines().join(u'\n').toStdString();
        ASSERT_TRUE(p.h.waitUntilIdle());
        // On one kept connection or two: the same bytes twice.
        const QByteArray sent = origin.requests.join();
        const QByteArray first = sent.left(sent.size() / 2);
        EXPECT_EQ(sent.mid(first.size()), first);

        ASSERT_EQ(p.h.rowCount(), original + 1);
        EXPECT_TRUE(waitFor([&] { return p.h.row(original + 1).at(6) == u"DONE"_s; }));
        const QStringList resent = p.h.row(original + 1);
        EXPECT_TRUE(p.h.shell.list.resent(original + 1) && !p.h.shell.list.resent(original));
        EXPECT_EQ(QStringList({ resent.at(2), resent.at(6), resent.at(10) }),
            QStringList({ row.at(2), u"DONE"_s, row.at(10) }));
        EXPECT_NE(resent.at(7), row.at(7));
        // A request that came over HTTP/2 goes again, and is recorded, as the HTTP/1.1 the server got.
        EXPECT_EQ(p.h.readRecord(resent.at(7)),
            c.https ? Http2Message::asHttp11Request(record, HttpTarget::fromUrl(row.at(10).toLatin1())->authority)
                    : record);
        EXPECT_EQ(p.h.readRecord(resent.at(8)), kReply);
    }
}

// Several requests go one after the other, with no proxy credentials; one the parser refuses is
// skipped, and one whose server cannot be reached gets the browser's 502 reasons in its row, its
// record and the log.
TEST(Resend, EachRequestGoesInTurnWhateverBecameOfTheOneBefore)
{
    ProxyHarness h;
    // The user's own requests need none of the credentials other clients must give.
    ProxyAccess access;
    access.proxyUser = u"user"_s;
    access.proxyPasswordHash = ProxyCredentials::hashPassword(u"secret"_s, 1);
    h.server->setAccess(access);
    FakeOrigin origin;
    origin.setReply({ kReply });
    const QByteArray closed = "http://127.0.0.1:" + QByteArray::number(ProxyHarness::freePort());
    h.server->resend({
        { "GET " + closed + "/bad HTTP/1.1\r\nHost a\r\n\r\n", {} },
        { "GET " + closed + "/gone HTTP/1.1\r\nHost: a\r\n\r\n", {} },
        { origin.getRequest(u"/last"_s), {} },
    });
    ASSERT_TRUE(waitFor([&] { return origin.completeRequests() == 1; }));
    ASSERT_TRUE(h.waitUntilIdle());
    ASSERT_EQ(h.rowCount(), 2);
    const QStringList gone = h.row(1), last = h.row(2);
    EXPECT_EQ(QStringList({ gone.at(10), gone.at(6), last.at(10), last.at(6) }),
        QStringList(
            { QString::fromLatin1(closed + "/gone"), u"ERROR"_s, origin.url(u"/last"_s), u"DONE"_s }));
    EXPECT_TRUE(h.readRecord(gone.at(8)).startsWith("HTTP/1.1 502 Bad Gateway"));
    const QString log = h.logLines().join(u'\n');
    EXPECT_TRUE(log.contains(u" - Refused: 400 Malformed header field"_s)) << log.toStdString();
    EXPECT_TRUE(log.contains(QRegularExpression(u"resend - \\d+ - Bad Gateway: 127.0.0.1 - "_s)))
        << log.toStdString();
}

// A request held at a breakpoint goes nowhere until the user decides, while other browsers are
// served; then it goes as edited, or the browser gets a 502 for an abort.
TEST(Breakpoints, AHeldRequestWaitsForTheUserWhileOthersAreServed)
{
    ProxyHarness h { 2 };
    HeldLog log(h.server.get());
    holdAt(h.server.get(), u"/held"_s, true, false);
    FakeOrigin origin;
    origin.setReply({ kReply }, WhenAsked);
    RawBrowser held(h.port()), aborted(h.port());
    held.send(origin.getRequest(u"/held/1"_s));
    aborted.send(origin.getRequest(u"/held/2"_s));
    ASSERT_TRUE(waitFor([&] { return log.held.size() == 2; }));
    {
        RawBrowser other(h.port());
        other.send(origin.getRequest(u"/free"_s));
        EXPECT_TRUE(waitFor([&] { return other.received.endsWith("ok"); }));
    }
    EXPECT_EQ(origin.completeRequests(), 1) << "only the request not held went out";
    EXPECT_EQ(h.row(1).at(6), u"HELD"_s);

    const CProxyServer::HeldExchange first
        = log.held.at(0).fullUrl.endsWith(u"/1"_s) ? log.held.at(0) : log.held.at(1);
    const CProxyServer::HeldExchange second
        = log.held.at(0).fullUrl.endsWith(u"/1"_s) ? log.held.at(1) : log.held.at(0);
    EXPECT_FALSE(first.atReply);
    EXPECT_EQ(first.request, origin.getRequest(u"/held/1"_s));
    const QByteArray edited = "POST " + origin.url(u"/edited"_s).toLatin1()
        + " HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc";
    h.server->releaseHeld(first.id, { false, edited });
    h.server->releaseHeld(second.id, { true, std::nullopt });
    EXPECT_TRUE(waitFor([&] { return held.received.endsWith("ok") && aborted.peerClosed; }));
    EXPECT_TRUE(origin.requests.join().contains("POST /edited HTTP/1.1\r\nHost: 127.0.0.1:")
        && origin.requests.join().endsWith("\r\n\r\nabc"));
    EXPECT_TRUE(aborted.received.startsWith("HTTP/1.1 502 Bad Gateway")
        && aborted.received.contains("aborted in Tarnwick"));
    EXPECT_EQ(origin.completeRequests(), 2);
    log.ended.sort();
    EXPECT_EQ(log.ended, QStringList({ u"aborted"_s, u"continued"_s }));
    held.close();
    ASSERT_TRUE(h.waitUntilIdle());
    for (int i = 1; i <= 3; ++i) {
        const QStringList row = h.row(i);
        if (row.at(10).endsWith(u"/edited"_s)) {
            EXPECT_EQ(h.readRecord(row.at(7)), edited) << "the record holds what went out";
        } else if (row.at(10).endsWith(u"/held/2"_s)) {
            EXPECT_EQ(row.at(6), u"ABORTED"_s);
        }
    }
}

// A reply held at a breakpoint reaches the browser as the user edited it; the record holds that,
// and the server's own reply stays beside it.
TEST(Breakpoints, AHeldReplyGoesToTheBrowserAsEditedAndBothRepliesAreKept)
{
    ProxyHarness h { 2 };
    HeldLog log(h.server.get());
    holdAt(h.server.get(), u"GET"_s, false, true);
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n", "origin" }, WhenAsked);
    RawBrowser browser(h.port());
    browser.send(origin.getRequest(u"/r"_s));
    ASSERT_TRUE(waitFor([&] { return log.held.size() == 1; }));
    EXPECT_TRUE(log.held.at(0).atReply);
    EXPECT_EQ(log.held.at(0).reply, origin.replyBytes());
    EXPECT_TRUE(browser.received.isEmpty());
    const QByteArray edited = "HTTP/1.1 201 Created\r\nContent-Length: 7\r\n\r\nchanged";
    h.server->releaseHeld(log.held.at(0).id, { false, edited });
    EXPECT_TRUE(waitFor([&] { return browser.received == edited; })) << browser.received.constData();
    browser.send(origin.getRequest(u"/again"_s));
    ASSERT_TRUE(waitFor([&] { return log.held.size() == 2; }))
        << "the connection goes on after an edited reply";
    h.server->releaseHeld(log.held.at(1).id, {});
    EXPECT_TRUE(waitFor([&] { return browser.received == edited + origin.replyBytes(); }));
    browser.close();
    ASSERT_TRUE(h.waitUntilIdle());
    EXPECT_TRUE(waitFor([&] { return h.row(1).at(6) == u"DONE"_s; }));
    const QStringList row = h.row(1);
    EXPECT_EQ(QStringList({ row.at(5), row.at(6) }),
        QStringList({ ProxyHarness::number(edited.size()), u"DONE"_s }));
    EXPECT_EQ(h.readRecord(row.at(8)), edited);
    EXPECT_EQ(h.readRecord(CExchange::originalReplyPath(row.at(8))), origin.replyBytes());
    EXPECT_FALSE(h.recordExists(CExchange::originalReplyPath(h.row(2).at(8))));
}

// The idle sweep leaves a held exchange alone; one nobody decides on goes on unchanged after five
// minutes, and the log says so.
TEST(Breakpoints, AHeldExchangeOutlastsTheIdleSweepAndGoesOnAfterFiveMinutes)
{
    ProxyHarness h;
    HeldLog log(h.server.get());
    holdAt(h.server.get(), u"127.0.0.1"_s, true, false);
    FakeOrigin origin;
    origin.setReply({ kReply });
    RawBrowser browser(h.port());
    browser.send(origin.getRequest(u"/late"_s));
    ASSERT_TRUE(waitFor([&] { return log.held.size() == 1; }));
    const auto connection = h.waitForConnection();
    const QDateTime start = Clock::now();
    const auto sweepAt = [&](qint64 seconds) {
        Clock::setNowForTest(start.addSecs(seconds));
        connection->CheckTimeout();
        QCoreApplication::processEvents();
    };
    sweepAt(h.server->Timeout() + 10);
    sweepAt(CProxyServer::HoldLimitMs / 1000 - 5);
    EXPECT_FALSE(browser.peerClosed);
    EXPECT_EQ(origin.completeRequests(), 0);
    sweepAt(CProxyServer::HoldLimitMs / 1000 + 1);
    Clock::setNowForTest(std::nullopt);
    EXPECT_TRUE(waitFor([&] { return browser.received.endsWith("ok"); }));
    EXPECT_EQ(origin.requests.value(0),
        "GET /late HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(origin.port())
            + "\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(log.ended, QStringList({ u"continued after 5 minutes"_s }));
    EXPECT_TRUE(h.logLines().join(u'\n').contains(u"Held for 5 minutes: continued unchanged"_s));
}

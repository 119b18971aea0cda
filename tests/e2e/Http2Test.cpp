#include "Clock.h"
#include "FakeOrigin.h"
#include "Http2Browser.h"
#include "HttpsFixtures.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray getBlock(quint32 = 0)
{
    return Http2Browser::literal(":method", "GET") + Http2Browser::literal(":scheme", "https")
        + Http2Browser::literal(":authority", "localhost") + Http2Browser::literal(":path", "/");
}

} // namespace

// Regression guard: with HTTP/2 the browser multiplexes its requests on one connection; each
// stream must still become an exchange of its own, recorded as HTTP/1.1-shaped text.
TEST(Http2, ConcurrentStreamsAreExchangesOfTheirOwnWithRecordsOfWhatCame)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin origin(&tls);
    origin.pages = { { "/a", FakeOrigin::pattern(0, 300000) }, { "/b", "bee" }, { "/c", "sea" } };
    const QString dir = p.h.folder.path();
    const CurlResult curl
        = p.curl({ u"-o"_s, dir + u"out-a"_s, origin.url(u"/a"_s), u"-o"_s, dir + u"out-b"_s,
                     origin.url(u"/b"_s), u"-o"_s, dir + u"out-c"_s, origin.url(u"/c"_s),
                     // A reply without a body: HEADERS alone end its stream.
                     u"-o"_s, dir + u"out-m"_s, origin.url(u"/m"_s) },
            { u"--http2"_s, u"-Z"_s, u"-H"_s, u"Cookie: x=1"_s, u"-H"_s, u"Cookie: y=2"_s });
    ASSERT_TRUE(p.h.waitUntilIdle());
    ASSERT_EQ(curl.exitCode, 0) << curl.err.constData();
    ASSERT_EQ(p.h.rowCount(), 5);
    EXPECT_TRUE(p.h.readRecord(p.h.row(1).at(8)).startsWith("Protocols: browser h2, server http/1.1\r\n"));
    for (int i = 2; i <= 5; ++i) {
        const QStringList row = p.h.row(i);
        const QByteArray path = row.at(3).section(u'/', 3).prepend(u'/').toLatin1();
        SCOPED_TRACE(path.constData());
        // The row settles once the reply record is in place, which may come after the stream's end.
        EXPECT_TRUE(waitFor([&] { return p.h.row(i).at(6) == u"DONE"_s; })) << p.h.row(i).at(6).toStdString();
        EXPECT_EQ(readFile(dir + u"out-"_s + QLatin1Char(path.at(1))), origin.pages.value(path));
        const QByteArray request = p.h.readRecord(row.at(7));
        EXPECT_TRUE(request.startsWith("GET " + path + " HTTP/2\r\n") && request.endsWith("\r\n\r\n")
            && request.contains("\r\nuser-agent: curl/") && !request.contains("\r\nhost:"))
            << request.constData();
        // The server gets one Cookie field, as HTTP/1.1 needs it.
        EXPECT_TRUE(origin.requests.join().contains("\r\ncookie: x=1; y=2\r\n"));
        const QByteArray page = origin.pages.value(path);
        EXPECT_EQ(p.h.readRecord(row.at(8)),
            (page.isEmpty() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK")
                + QByteArray("\r\nContent-Length: ") + QByteArray::number(page.size()) + "\r\n\r\n" + page);
    }
}

// Regression guard: a stream whose browser does not read must hold neither the other streams of
// its connection nor more than its window in flight; it goes on when the browser reads again.
TEST(Http2, SlowReaderOnOneStreamDoesNotHoldTheOthers)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin origin(&tls);
    origin.pages = { { "/big", FakeOrigin::pattern(0, 6 * 1024 * 1024) }, { "/small", "small" } };
    Http2Browser browser(p.h.port(), origin.port(), p.tarnwickCa);
    ASSERT_TRUE(browser.ready);
    const qint32 big = browser.request("GET", "/big");
    browser.hold(big, true);
    ASSERT_TRUE(waitFor([&] { return browser.streams[big].body.size() >= 65535; }));
    const qint32 small = browser.request("GET", "/small");
    ASSERT_TRUE(waitFor([&] { return browser.streams[small].closed; }));
    EXPECT_EQ(browser.streams[small].body, "small");
    EXPECT_EQ(browser.streams[big].body.size(), 65535) << "the held stream's window stays shut";
    browser.hold(big, false);
    ASSERT_TRUE(waitFor([&] { return browser.streams[big].closed; }, 30000));
    EXPECT_EQ(browser.streams[big].body, origin.pages.value("/big"));
    EXPECT_TRUE(waitFor([&] { return p.h.row(2).at(6) == u"DONE"_s && p.h.row(3).at(6) == u"DONE"_s; }));

    // With no stream open for the time-out, the connection is ended at a sweep. A sweep that
    // finds a stream still ending starts the time-out again, hence more than one step.
    EXPECT_FALSE(browser.peerClosed);
    const qint64 idle = (p.h.server->Timeout() + 1) * 1000;
    qint64 advanced = 0;
    for (int step = 0; step < 3 && !browser.peerClosed; ++step, advanced += idle) {
        Clock::advanceForTest(idle);
        waitFor([&] { return browser.peerClosed; }, CProxyServer::SweepInterval + 1000);
    }
    Clock::advanceForTest(-advanced);
    EXPECT_TRUE(browser.peerClosed);
}

// Regression guard: floods and frames that break the protocol's bounds (rapid reset, CONTINUATION
// flood, oversize header lists, window overflows) must end their own connection with GOAWAY and a
// log line, and leave the proxy serving. (DATA beyond the window: Http2FrontendTest.cpp, where a
// burst can be made to arrive ahead of any window update.)
TEST(Http2, HostileFramesEndTheirConnectionOnly)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin origin(&tls);
    origin.pages = { { "/", "fine" } };
    using B = Http2Browser;
    const auto build = [](int from, int to, auto &&one) {
        QByteArray out;
        for (int i = from; i < to; ++i)
            out += one(i);
        return out;
    };
    const QByteArray bigList = build(
        0, 70, [](int i) { return B::literal("x-big-" + QByteArray::number(i), QByteArray(1000, 'a')); });
    QByteArray oversize;
    for (qsizetype at = 0; at < bigList.size(); at += 16384) {
        const bool last = at + 16384 >= bigList.size();
        oversize += B::frame(at == 0 ? NGHTTP2_HEADERS : NGHTTP2_CONTINUATION,
            (at == 0 ? NGHTTP2_FLAG_END_STREAM : 0) | (last ? NGHTTP2_FLAG_END_HEADERS : 0), 1,
            bigList.mid(at, 16384));
    }
    const struct {
        const char *name;
        QByteArray frames;
        const char *logged;
    } rows[] = {
        { "1,000 streams opened and reset at once",
            build(0, 1000,
                [](int i) {
                    return B::frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_STREAM | NGHTTP2_FLAG_END_HEADERS,
                               2 * i + 1, getBlock())
                        + B::frame(NGHTTP2_RST_STREAM, 0, 2 * i + 1, QByteArray("\0\0\0\x08", 4));
                }),
            "streams reset in a second" },
        { "endless CONTINUATION",
            B::frame(NGHTTP2_HEADERS, 0, 1, getBlock())
                + build(0, 100,
                    [](int) { return B::frame(NGHTTP2_CONTINUATION, 0, 1, B::literal("x-pad", "y")); }),
            "CONTINUATION frames" },
        { "header list over the bound", oversize, "header list over" },
        { "window update overflow", B::frame(NGHTTP2_WINDOW_UPDATE, 0, 0, QByteArray("\x7f\xff\xff\xff", 4)),
            "FLOW_CONTROL_ERROR" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype linesBefore = p.h.logLines().size();
        Http2Browser hostile(p.h.port(), origin.port(), p.tarnwickCa, true, row.frames);
        ASSERT_TRUE(hostile.ready);
        EXPECT_TRUE(waitFor([&] { return hostile.peerClosed; }, 10000)) << "the connection is ended";
        EXPECT_TRUE(hostile.receivedFrame(NGHTTP2_GOAWAY));
        const QString log = p.h.logLines().mid(linesBefore).join(u'\n');
        EXPECT_TRUE(log.contains(u"HTTP/2 connection ended with GOAWAY: "_s)
            && log.contains(QLatin1String(row.logged)))
            << log.toStdString();
    }
    const CurlResult after = p.curl({ origin.url() }, { u"--http2"_s });
    EXPECT_EQ(after.out, "fine") << "the proxy serves on";
}

#include "FakeOrigin.h"
#include "HttpsFixtures.h"
#include "RawBrowser.h"

#include <gtest/gtest.h>

// Regression: a request forwarded earlier on the connection went into a later tunnel; bytes
// that came with the CONNECT were sent twice; a CONNECT that could not connect got an empty
// close and no reason in the log. Decryption is on: none of these tunnels starts with TLS.
TEST(Tunnel, OnlyTheTunnelsOwnBytesReachItsServer)
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const struct {
        const char *name;
        QByteArray before; // a request to A, answered before the CONNECT
        QByteArray target;
        QByteArray withConnect; // in the CONNECT's packet
        QByteArray after = {}; // sent once the tunnel is up
        const char *failure = nullptr; // in the log, with a 502 to the browser
    } rows[] = {
        { "GET to A first", "GET {A}/get HTTP/1.1\r\nHost: a\r\nCookie: c=1\r\n\r\n", "{B}", {}, "ping" },
        { "POST with a body to A first", "POST {A}/ HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\nbody",
            "{B}", {}, "ping" },
        { "bytes in the CONNECT's packet", {}, "{B}", "HELLO" },
        { "a request pipelined after the CONNECT", {}, "{B}", "GET / HTTP/1.1\r\nHost: b\r\n\r\n" },
        { "refused port", {}, "{refused}", {}, {}, "connection refused" },
        { "name that never resolves", {}, "nowhere.invalid:443", {}, {}, "host not found" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        DecryptingProxy p;
        FakeOrigin a, b;
        QTcpSocket refusing; // bound, never listening: refused for certain
        ASSERT_TRUE(refusing.bind(QHostAddress::LocalHost, 0));
        a.setReply({ ok }, FakeOrigin::Closing::WhenAsked);
        const auto expand = [&](QByteArray text) {
            return text.replace("{A}", "http://127.0.0.1:" + QByteArray::number(a.port()))
                .replace("{B}", "127.0.0.1:" + QByteArray::number(b.port()))
                .replace("{refused}", "127.0.0.1:" + QByteArray::number(refusing.localPort()));
        };
        RawBrowser browser(p.h.port());
        browser.send(expand(row.before));
        ASSERT_TRUE(waitFor([&] { return browser.received == (row.before.isEmpty() ? "" : ok); }));
        browser.received.clear();
        const QByteArray target = expand(row.target);
        browser.send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n" + row.withConnect);
        EXPECT_TRUE(waitFor([&] { return browser.received.contains("\r\n\r\n"); }));
        EXPECT_TRUE(browser.received.startsWith(row.failure ? "HTTP/1.1 502 " : "HTTP/1.1 200 "));
        browser.send(row.after);
        const QByteArray tunnelled = row.withConnect + row.after;
        waitFor([&] { return b.requests.value(0).size() >= tunnelled.size(); }, 2000);
        waitFor([] { return false; }, 100);
        EXPECT_EQ(b.requests.value(0), tunnelled);
        browser.close();
        ASSERT_TRUE(p.h.waitUntilIdle());
        const QString log = p.h.logLines().join(QLatin1Char('\n'));
        EXPECT_TRUE(!row.failure || log.contains(QLatin1String(row.failure))) << log.toStdString();
    }
}

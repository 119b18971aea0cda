#include "Clock.h"
#include "FakeOrigin.h"
#include "FakeUpstreamProxy.h"
#include "HttpsFixtures.h"
#include "ProxyCredentials.h"
#include "RawBrowser.h"

#include <QSslCertificate>

#include <gtest/gtest.h>

using enum FakeOrigin::Closing;
using namespace Qt::StringLiterals;

namespace {
// A client of the proxy on 127.0.0.1 from another loopback address: what it got before the
// proxy closed the connection.
QByteArray sendFrom(const QString &source, quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    QByteArray received;
    if (!socket.bind(QHostAddress(source)))
        return "cannot bind " + source.toLatin1();
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request); // sent once connected
    waitFor([&] {
        received += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    return received;
}

ProxyAccess upstreamAccess(
    const FakeUpstreamProxy &up, const QString &user = {}, const QString &password = {})
{
    ProxyAccess access;
    access.upstream = { u"127.0.0.1"_s, up.port(), user, password, {} };
    return access;
}

bool contains(const QStringList &lines, const QString &text)
{
    return lines.filter(text).size() == 1;
}
} // namespace

// Regression: a proxy listening on a LAN address served anyone who could reach it.
TEST(ClientAccess, OnlyAllowedAddressesAreServedAndRefusalsAreLoggedOncePerMinute)
{
    ProxyHarness h { 2 };
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" });
    const QByteArray get
        = "GET " + origin.url().toLatin1() + " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    const struct {
        const char *name;
        QString allow; // empty: the default
        const char *source;
        bool served;
    } rows[] = {
        { "another loopback address is this machine too", {}, "127.0.0.2", true },
        { "an address not on the list", u"127.0.0.1, ::1"_s, "127.0.0.2", false },
        { "inside an allowed range", u"10.0.0.0/8, 127.0.0.4/30"_s, "127.0.0.6", true },
        { "outside every allowed range", u"10.0.0.0/8, 127.0.0.4/30"_s, "127.0.0.3", false },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyAccess access;
        if (!row.allow.isEmpty())
            access.allowClients = *ClientAllowList::parse(row.allow);
        h.server->setAccess(access);
        h.log.text.clear();
        const QByteArray got = sendFrom(QLatin1String(row.source), h.port(), get);
        ASSERT_TRUE(h.waitUntilIdle());
        EXPECT_EQ(got.endsWith("\r\n\r\nok"), row.served) << got.constData();
        EXPECT_EQ(h.logLines().filter(u"Adding #"_s).size(), row.served ? 1 : 0) << "refused at accept";
        const QString refusal
            = u"Refused client %1: not in the allowed list"_s.arg(QLatin1String(row.source));
        EXPECT_EQ(h.logLines().contains(refusal), !row.served);
    }

    // A flood from one address is one line a minute; each address has its own.
    ProxyAccess onlyOne;
    onlyOne.allowClients = *ClientAllowList::parse(u"127.0.0.1"_s);
    h.server->setAccess(onlyOne);
    h.log.text.clear();
    for (const char *source : { "127.0.0.8", "127.0.0.8", "127.0.0.9", "127.0.0.8" })
        sendFrom(QLatin1String(source), h.port(), get);
    Clock::advanceForTest(CProxyServer::RefusalLogIntervalMs);
    sendFrom(u"127.0.0.8"_s, h.port(), get);
    Clock::setNowForTest(std::nullopt);
    EXPECT_EQ(h.logLines().filter(u"Refused client 127.0.0.8"_s).size(), 2);
    EXPECT_EQ(h.logLines().filter(u"Refused client 127.0.0.9"_s).size(), 1);
    EXPECT_EQ(origin.connectionsAccepted, 2);
}

// Regression: anyone who reached the proxy could use it; its credentials went on to the server.
TEST(ClientAccess, CredentialsAreAskedForOnEveryRequestAndCONNECTAndNeverForwarded)
{
    const QString hash = ProxyCredentials::hashPassword(u"s3cret"_s, 1000);
    EXPECT_TRUE(hash.startsWith(u"pbkdf2-sha256$1000$"_s));
    EXPECT_NE(hash, ProxyCredentials::hashPassword(u"s3cret"_s, 1000)) << "a fresh salt each time";
    ProxyHarness h { 2 };
    ProxyAccess access;
    access.proxyUser = u"ann"_s;
    access.proxyPasswordHash = hash;
    h.server->setAccess(access);
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, WhenAsked);
    const struct {
        const char *name;
        const char *user; // for curl's --proxy-user, or none
        bool connect;
        const char *codes; // CONNECT's status, then the request's
    } rows[] = {
        { "GET without credentials", nullptr, false, "000 407;000 407;" },
        { "GET with a wrong password", "ann:secret", false, "000 407;000 407;" },
        { "GET with another user", "bob:s3cret", false, "000 407;000 407;" },
        { "GET with the right ones, twice on one connection", "ann:s3cret", false, "000 200;000 200;" },
        { "CONNECT without credentials", nullptr, true, "407 000;407 000;" },
        { "CONNECT with a wrong password", "ann:s3cre", true, "407 000;407 000;" },
        { "CONNECT with the right ones", "ann:s3cret", true, "200 200;000 200;" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        origin.clearRequests();
        QStringList args { u"-x"_s, h.proxyUrl(), u"-D"_s, u"-"_s, u"-o"_s, u"/dev/null"_s, u"-o"_s,
            u"/dev/null"_s, u"-w"_s, u"%{http_connect} %{http_code};"_s, origin.url(), origin.url() };
        if (row.user)
            args << u"--proxy-user"_s << QLatin1String(row.user);
        if (row.connect)
            args << u"-p"_s;
        const CurlResult curl = runCurl(args);
        ASSERT_TRUE(h.waitUntilIdle());
        const bool refused = QByteArray(row.codes).contains("407");
        static const QRegularExpression headers(u"HTTP/1.1 [^;]*\r\n\r\n"_s);
        EXPECT_EQ(QString::fromLatin1(curl.out).remove(headers), QLatin1String(row.codes))
            << curl.out.constData();
        EXPECT_EQ(curl.out.contains("\r\nProxy-Authenticate: Basic realm=\"Tarnwick\"\r\n"), refused);
        EXPECT_EQ(origin.requests.join().count("GET /"), refused ? 0 : 2);
        EXPECT_FALSE(origin.requests.join().contains("Proxy-Authorization"));
        EXPECT_FALSE(h.log.text.contains(u"s3cret"_s));
    }
    // The set-up page in origin form is asked for the way a server asks.
    for (const char *user : { "ann:s3cre", "ann:s3cret" }) {
        const CurlResult page = runCurl({ u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{http_code}"_s, u"-u"_s,
            QLatin1String(user), h.proxyUrl() + u"/"_s });
        EXPECT_EQ(page.out, QByteArray(user).endsWith('t') ? "200" : "401");
    }
}

// Regression: a phone had no way to learn the proxy's address or to get its CA.
TEST(ClientAccess, TheSetUpPageAndTheCAAreServedInOriginFormAndThroughTheProxy)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    QFile caFile(p.https.authority().certificatePath());
    ASSERT_TRUE(caFile.open(QIODevice::ReadOnly));
    const QByteArray pem = caFile.readAll();
    const QByteArray der = QSslCertificate(pem).toDer();
    const QByteArray port = QByteArray::number(p.h.port());
    const QByteArray page = "Proxy address: <b>127.0.0.1</b><br>Port: <b>" + port + "</b>";
    const struct {
        const char *name;
        QByteArray request; // raw, or empty for curl through the proxy
        QString url;
        QByteArray status, body; // the body as a part when it is the page
    } rows[] = {
        { "the page in origin form", "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", {}, "200 OK",
            page },
        { "the PEM in origin form", "GET /tarnwick-ca.pem HTTP/1.1\r\nHost: x\r\n\r\n", {}, "200 OK", pem },
        { "another path in origin form", "GET /other HTTP/1.1\r\nHost: x\r\n\r\n", {}, "400 Bad Request",
            "Target is not an absolute URL\r\n" },
        { "the page through the proxy", {}, u"http://tarnwick.invalid/"_s, "200 OK", page },
        { "the DER through the proxy", {}, u"http://Tarnwick.invalid/tarnwick-ca.cer"_s, "200 OK", der },
        { "another path through the proxy", {}, u"http://tarnwick.invalid/x"_s, "404 Not Found",
            "Not found\r\n" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray got;
        if (row.request.isEmpty()) {
            got = p.curl({ u"-i"_s, row.url }).out;
        } else {
            RawBrowser browser(p.h.port());
            browser.send(row.request);
            waitFor([&] { return browser.peerClosed; });
            got = browser.received;
        }
        ASSERT_TRUE(p.h.waitUntilIdle());
        EXPECT_TRUE(got.startsWith("HTTP/1.1 " + row.status + "\r\n")) << got.left(200).constData();
        const QByteArray body = got.mid(got.indexOf("\r\n\r\n") + 4);
        EXPECT_TRUE(
            row.body == page ? body.contains(page) && body.contains("tarnwick-ca.cer") : body == row.body);
    }
    EXPECT_EQ(p.h.rowCount(), 0);
}

// Regression: behind a company proxy no server could be reached.
TEST(UpstreamProxy, PlainRequestsTunnelsAndDecryptedTunnelsGoThroughItUnlessBypassed)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    FakeUpstreamProxy up;
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin plain, secure(&tls);
    plain.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nplain" }, WhenAsked);
    secure.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecure" }, WhenAsked);
    const struct {
        const char *name;
        QStringList curl;
        QByteArray out, head; // head: what the upstream proxy was asked, empty when bypassed
        bool bypassed = false;
    } rows[] = {
        { "plain, in absolute form", { plain.url(u"/a"_s), plain.url(u"/b"_s) }, "plainplain",
            "GET " + plain.url(u"/a"_s).toLatin1() + " HTTP/1.1\r\nProxy-Authorization: Basic dTpw\r\n" },
        { "a tunnel", { u"-p"_s, plain.url() }, "plain",
            "CONNECT 127.0.0.1:" + QByteArray::number(plain.port()) + " HTTP/1.1\r\n" },
        { "a decrypted tunnel", { secure.url(u"/a"_s), secure.url(u"/b"_s) }, "securesecure",
            "CONNECT localhost:" + QByteArray::number(secure.port()) + " HTTP/1.1\r\n" },
        { "a host not for the upstream proxy", { plain.url() }, "plain", {}, true },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ProxyAccess access = upstreamAccess(up, u"u"_s, u"p"_s);
        if (row.bypassed)
            access.upstream.bypass = QStringList { u"*.example"_s, u"127.0.0.1"_s };
        p.h.server->setAccess(access);
        up.heads.clear();
        const CurlResult curl = p.curl(row.curl);
        ASSERT_TRUE(p.h.waitUntilIdle());
        EXPECT_EQ(curl.out, row.out) << curl.err.constData();
        EXPECT_EQ(up.heads.size(), row.bypassed ? 0 : 1) << "one connection, kept for the second request";
        EXPECT_TRUE(up.heads.value(0).startsWith(row.head)) << up.heads.value(0).constData();
        if (!row.head.startsWith("CONNECT"))
            continue;
        EXPECT_TRUE(up.heads.value(0).contains("\r\nProxy-Authorization: Basic dTpw\r\n"));
    }
    // The record is what the browser sent, not what went to the upstream proxy.
    const QByteArray record = p.h.readRecord(p.h.row(1).at(7));
    EXPECT_TRUE(record.startsWith("GET " + plain.url(u"/a"_s).toLatin1() + " HTTP/1.1\r\n"))
        << record.constData();
    EXPECT_FALSE(record.contains("Proxy-Authorization"));
}

// Regression guard: a failing upstream proxy was reported as the web server's fault, or not at all.
TEST(UpstreamProxy, ItsFailuresGiveTheBrowserA502ThatNamesIt)
{
    ProxyHarness h { 2 };
    FakeUpstreamProxy up;
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" });
    const QString name = up.endpoint();
    const QByteArray target = "127.0.0.1:" + QByteArray::number(origin.port());
    const QByteArray get = origin.getRequest(),
                     connect = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    using B = FakeUpstreamProxy::Behaviour;
    const struct {
        const char *name;
        bool down;
        B behaviour;
        QString user;
        QByteArray request;
        QString reason;
    } rows[] = {
        { "down", true, B::Forward, {}, get, u"the upstream proxy %1 cannot be reached"_s },
        { "down, for a tunnel", true, B::Forward, {}, connect, u"the upstream proxy %1 cannot be reached"_s },
        { "asks for credentials none are set for", false, B::AskCredentials, {}, get,
            u"the upstream proxy %1 asks for credentials (407) and none are set"_s },
        { "refuses the credentials of a CONNECT", false, B::AskCredentials, u"u"_s, connect,
            u"the upstream proxy %1 refused the credentials (407)"_s },
        { "refuses the CONNECT", false, B::RefuseConnect, {}, connect,
            u"the upstream proxy %1 refused the CONNECT with 403 Forbidden"_s },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        up.behaviour = row.behaviour;
        up.authorization = "Basic other";
        ProxyAccess access = upstreamAccess(up, row.user, u"p"_s);
        if (row.down)
            access.upstream.port = ProxyHarness::freePort();
        h.server->setAccess(access);
        h.log.text.clear();
        RawBrowser browser(h.port());
        browser.send(row.request);
        waitFor([&] { return browser.peerClosed; });
        ASSERT_TRUE(h.waitUntilIdle());
        const QString reason = row.reason.arg(access.upstream.name());
        EXPECT_TRUE(browser.received.startsWith("HTTP/1.1 502 Bad Gateway\r\n"))
            << browser.received.constData();
        EXPECT_TRUE(browser.received.contains(reason.toUtf8())) << browser.received.constData();
        EXPECT_TRUE(contains(h.logLines(), reason));
    }
    EXPECT_EQ(origin.connectionsAccepted, 0);
}

#include "FakeOrigin.h"
#include "HttpsFixtures.h"

#include "RawBrowser.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSslKey>
#include <QStandardPaths>
#include <QTcpSocket>

#include <gtest/gtest.h>

using enum FakeOrigin::Closing;
using namespace Qt::StringLiterals;

// Regression: everything inside a CONNECT was one opaque stream: no rows, no records.
TEST(HttpsDecryption, RequestsInsideATunnelBecomeExchangesOfTheirOwnUnlessItsHostIsExcluded)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin origin(&tls);
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello" }, WhenAsked);
    const CurlResult curl = p.curl({ origin.url(u"/a?q=1"_s), origin.url(u"/b"_s), origin.url(u"/c"_s) },
        { u"--data-binary"_s, u"x=1"_s });
    ASSERT_TRUE(p.h.waitUntilIdle());
    EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
    EXPECT_EQ(curl.out, "hellohellohello");
    EXPECT_EQ(origin.connectionsAccepted, 1);
    ASSERT_EQ(p.h.rowCount(), 4);
    const QStringList tunnel = p.h.row(1);
    EXPECT_EQ(QStringList({ tunnel.at(2), tunnel.at(6) }), QStringList({ u"CONNECT"_s, u"DONE"_s }));
    const QByteArray summary = p.h.readRecord(tunnel.at(8));
    for (const char *part :
        { "TLS 1.3", "ALPN: http/1.1", "certificate subject: localhost", "verification: verified" })
        EXPECT_TRUE(summary.contains(part)) << part << "\n" << summary.constData();
    for (int i = 2; i <= 4; ++i) {
        const QStringList row = p.h.row(i);
        const QString path = u"/"_s + QChar(u'a' + i - 2);
        const QString url = u"https://localhost:%1%2"_s.arg(origin.port()).arg(path);
        EXPECT_EQ(QStringList({ row.at(0), row.at(2), row.at(3), row.at(6), row.at(9), row.at(10) }),
            QStringList(
                { u"localhost"_s, u"POST"_s, url, u"DONE"_s, u"200"_s, i == 2 ? url + u"?q=1"_s : url }));
        const QByteArray request = p.h.readRecord(row.at(7));
        EXPECT_TRUE(request.startsWith("POST " + path.toLatin1()) && request.endsWith("\r\n\r\nx=1"));
        EXPECT_EQ(p.h.readRecord(row.at(8)), origin.replyBytes());
    }

    // Regression: CONNECT was forwarded as a request to port 443, so no HTTPS site was reachable.
    // A host on the never-decrypt list stays a plain relay whose records hold the CONNECT and what
    // the server sent (tunnels of other protocols: TunnelTest.cpp).
    ASSERT_TRUE(p.https.apply({ true, { u"localhost"_s }, p.testCa }, nullptr));
    const CurlResult sealed = p.curl({ origin.url() }, { u"--cacert"_s, p.testCa });
    EXPECT_EQ(sealed.out, "hello") << sealed.err.constData();
    ASSERT_TRUE(p.h.waitUntilIdle());
    ASSERT_EQ(p.h.rowCount(), 5);
    const QString target = u"localhost:%1"_s.arg(origin.port());
    const QStringList row = p.h.row(5);
    const QByteArray request = p.h.readRecord(row.at(7)), reply = p.h.readRecord(row.at(8));
    EXPECT_TRUE(
        request.startsWith("CONNECT " + target.toLatin1() + " HTTP/1.1\r\n") && request.endsWith("\r\n\r\n"))
        << "the tunnelled bytes are no part of the request";
    EXPECT_TRUE(reply.startsWith('\x16') && !reply.contains("hello")) << "the tunnel is relayed, not opened";
    EXPECT_EQ(row.mid(2, 5),
        QStringList({ u"CONNECT"_s, target, ProxyHarness::number(request.size()),
            ProxyHarness::number(reply.size()), u"DONE"_s }));
}

// Regression guard: a server that fails verification is never relayed from, and the browser is
// told why; a browser that refuses our certificate leaves a line that says what to do; a
// ClientHello the handshake refuses ends its own connection (it used to kill the process).
TEST(HttpsDecryption, FailuresOnEitherSideAreAnsweredAndLogged)
{
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QSslConfiguration trusted = p.origin(u"localhost"_s);
    const char *refused = "TLS with the browser failed";
    const struct {
        const char *name;
        QSslConfiguration tls;
        QStringList curlExtra;
        const char *reason;
        const char *hello = nullptr; // from the ClientHello corpus, sent by a raw browser
    } rows[] = {
        { "ClientHello of TLS 1.1", trusted, {}, refused, "tls-1.1" },
        { "ClientHello naming two servers", trusted, {}, refused, "two-names" },
        { "ClientHello with an empty server name", trusted, {}, refused, "empty-sni" },
        { "ClientHello without extensions", trusted, {}, refused, "no-extensions" },
        { "ClientHello offering no cipher suite we have", trusted, {}, refused, "no-shared-cipher" },
        { "expired server certificate", p.origin(u"localhost"_s, -10, -1), {}, "certificate expired" },
        { "server certificate for another name", p.origin(u"other.test"_s), {}, "name mismatch" },
        { "browser does not trust our CA", trusted, { u"--cacert"_s, p.testCa }, refused },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FakeOrigin origin(&row.tls);
        origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret" }, WhenAsked);
        const int rowsBefore = p.h.rowCount();
        const qsizetype linesBefore = p.h.logLines().size();
        CurlResult curl;
        if (row.hello) {
            QFile hello(
                QStringLiteral(TARNWICK_SOURCE_DIR "/tests/fuzz/hello-corpus/") + QLatin1String(row.hello));
            ASSERT_TRUE(hello.open(QIODevice::ReadOnly));
            RawBrowser browser(p.h.port());
            const QByteArray target = "localhost:" + QByteArray::number(origin.port());
            browser.send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
            ASSERT_TRUE(waitFor([&] { return browser.received.startsWith("HTTP/1.1 200 "); }));
            browser.send(hello.readAll());
            EXPECT_TRUE(waitFor([&] { return browser.peerClosed; }));
        } else {
            curl = row.curlExtra.isEmpty()
                ? p.curl({ origin.url() }, { u"-i"_s })
                : runCurl(row.curlExtra + QStringList { u"-x"_s, p.h.proxyUrl(), origin.url() });
        }
        ASSERT_TRUE(p.h.waitUntilIdle());
        EXPECT_FALSE(curl.out.contains("secret"));
        EXPECT_EQ(origin.completeRequests(), 0);
        const QString log = p.h.logLines().mid(linesBefore).join(QLatin1Char('\n'));
        EXPECT_TRUE(log.contains(QLatin1String(row.reason))) << log.toStdString();
        EXPECT_EQ(p.h.row(rowsBefore + 1).at(6), u"ERROR"_s);
        // The 502 saying why reaches only a browser that completed TLS with the proxy.
        EXPECT_TRUE(!row.curlExtra.isEmpty() || row.hello
            || (curl.out.contains("\r\n\r\nHTTP/1.1 502 ") && curl.out.contains(row.reason)))
            << curl.out.constData();
    }
    FakeOrigin origin(&trusted);
    origin.setReply({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, WhenAsked);
    EXPECT_EQ(p.curl({ origin.url() }).out, "ok") << "the proxy serves on after every failure";
}

// Regression guard: a large decrypted download, whose server side pauses until the browser's TLS
// side drains, must arrive and be recorded byte for byte (its memory bound: ExchangeEdgeTest.cpp).
TEST(HttpsDecryption, LargeDownloadIsRelayedAndRecordedWhole)
{
    constexpr qint64 size = 64 * 1024 * 1024;
    DecryptingProxy p;
    const QSslConfiguration tls = p.origin(u"localhost"_s);
    FakeOrigin origin(&tls);
    const QByteArray header = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n";
    origin.setStreamedReply(header, size);
    // Under ThreadSanitizer the download alone takes most of curl's usual bound.
    const CurlResult curl = p.curl({ origin.url(u"/big"_s) }, {}, 90000);
    ASSERT_TRUE(p.h.waitUntilIdle());
    EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
    EXPECT_TRUE(curl.out == FakeOrigin::pattern(0, size)) << "the download differs";
    EXPECT_EQ(QFileInfo(p.h.folder.requests() + p.h.row(2).at(8)).size(), header.size() + size);
}

// Regression guard: a server that speaks HTTP/2 only could not be reached through decryption;
// its replies, without lengths and with trailers, must reach an HTTP/1.1 browser byte-exact and
// be recorded as HTTP/2 messages.
TEST(HttpsDecryption, Http2OnlyServerServesAnHttp11Browser)
{
    const QString nghttpd = QStandardPaths::findExecutable(u"nghttpd"_s).isEmpty()
        ? QStandardPaths::findExecutable(u"nghttpd"_s, { u"/usr/sbin"_s })
        : QStandardPaths::findExecutable(u"nghttpd"_s);
    if (nghttpd.isEmpty())
        GTEST_SKIP() << "nghttpd is not installed";
    DecryptingProxy p;
    ASSERT_TRUE(p.applied);
    const QString docs = p.h.folder.path() + u"htdocs/"_s;
    ASSERT_TRUE(QDir().mkpath(docs));
    const QByteArray small = "hello over h2\n", big = FakeOrigin::pattern(0, 1024 * 1024 + 7);
    const QByteArray posted = "x=1&y=" + QByteArray(3000, 'z');
    QSslKey key;
    const QSslCertificate cert = p.pki.server(u"localhost"_s, -1, 30, &key);
    for (const auto &[name, bytes] : { std::pair { u"a.txt"_s, small }, std::pair { u"big"_s, big },
             std::pair { u"key.pem"_s, key.toPem() }, std::pair { u"cert.pem"_s, cert.toPem() } }) {
        QFile file((name.endsWith(u".pem"_s) ? p.h.folder.path() : docs) + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    const quint16 port = ProxyHarness::freePort();
    QProcess server;
    server.start(nghttpd,
        { u"-a"_s, u"127.0.0.1"_s, u"-d"_s, docs, u"--echo-upload"_s, u"--no-content-length"_s,
            u"--trailer=x-t: 1"_s, QString::number(port), p.h.folder.path() + u"key.pem"_s,
            p.h.folder.path() + u"cert.pem"_s });
    ASSERT_TRUE(server.waitForStarted(5000));
    ASSERT_TRUE(waitFor([port] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    })) << "nghttpd did not listen";

    const QString base = u"https://localhost:%1/"_s.arg(port);
    const CurlResult curl = p.curl(
        { base + u"a.txt"_s, base + u"big"_s, u"--next"_s, u"--http1.1"_s, u"--cacert"_s, p.tarnwickCa,
            u"-x"_s, p.h.proxyUrl(), u"--data-binary"_s, QString::fromLatin1(posted), base + u"a.txt"_s },
        { u"--http1.1"_s });
    ASSERT_TRUE(p.h.waitUntilIdle());
    server.kill();
    server.waitForFinished(2000);
    EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
    EXPECT_TRUE(curl.out == small + big + posted) << "the browser's bodies differ";
    ASSERT_EQ(p.h.rowCount(), 4);
    EXPECT_TRUE(p.h.readRecord(p.h.row(1).at(8)).contains("ALPN: h2"));
    const QByteArray bodies[] = { small, big, posted };
    for (int i = 2; i <= 4; ++i) {
        const QByteArray reply = p.h.readRecord(p.h.row(i).at(8));
        const qsizetype headEnd = reply.indexOf("\r\n\r\n") + 4;
        EXPECT_TRUE(
            reply.startsWith("HTTP/2 200\r\n") && reply.first(headEnd).contains("\r\nserver: nghttpd"))
            << reply.first(qMin<qsizetype>(reply.size(), 300)).constData();
        EXPECT_TRUE(reply.sliced(headEnd) == bodies[i - 2]) << "row " << i << "'s recorded body differs";
    }
}

#include "FakeOrigin.h"
#include "HttpsFixtures.h"

#include "RawBrowser.h"
#include "TlsTunnel.h"
#include "UpstreamPool.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSslKey>
#include <QSslServer>
#include <QStandardPaths>
#include <QTcpSocket>

#include <nghttp2/nghttp2.h>

#include <cstring>

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
    for (const char *part : { "Protocols: browser h2, server http/1.1", "TLS 1.3",
             "certificate subject: localhost", "verification: verified" })
        EXPECT_TRUE(summary.contains(part)) << part << "\n" << summary.constData();
    for (int i = 2; i <= 4; ++i) {
        const QStringList row = p.h.row(i);
        const QString path = u"/"_s + QChar(u'a' + i - 2);
        const QString url = u"https://localhost:%1%2"_s.arg(origin.port()).arg(path);
        EXPECT_EQ(QStringList({ row.at(0), row.at(2), row.at(3), row.at(6), row.at(9), row.at(10) }),
            QStringList(
                { u"localhost"_s, u"POST"_s, url, u"DONE"_s, u"200"_s, i == 2 ? url + u"?q=1"_s : url }));
        const QByteArray request = p.h.readRecord(row.at(7));
        // curl spoke HTTP/2: the record is its rendering, start line from the pseudo-header fields.
        EXPECT_TRUE(request.startsWith("POST " + path.toLatin1() + (i == 2 ? "?q=1" : "") + " HTTP/2\r\n")
            && request.contains("\r\ncontent-length: 3\r\n") && request.endsWith("\r\n\r\nx=1"))
            << request.constData();
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
            || (curl.out.contains("\r\n\r\nHTTP/2 502 ") && curl.out.contains(row.reason)))
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
TEST(HttpsDecryption, Http2OnlyServerServesHttp11AndHttp2Browsers)
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

    const QString base = u"https://localhost:%1/"_s.arg(port), out = p.h.folder.path() + u"out-"_s;
    const struct {
        const char *name;
        QStringList curl;
        const char *protocols;
    } rows[] = {
        { "HTTP/1.1 browser", { u"--http1.1"_s }, "Protocols: browser http/1.1, server h2\r\n" },
        { "HTTP/2 browser, three streams at once", { u"--http2"_s, u"-Z"_s },
            "Protocols: browser h2, server h2\r\n" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const int before = p.h.rowCount();
        const CurlResult curl = p.curl(
            QStringList { u"-o"_s, out + u"1"_s, base + u"a.txt"_s, u"-o"_s, out + u"2"_s, base + u"big"_s,
                u"--next"_s, u"--cacert"_s, p.tarnwickCa, u"-x"_s, p.h.proxyUrl(), u"--data-binary"_s,
                QString::fromLatin1(posted), u"-o"_s, out + u"3"_s, base + u"a.txt"_s }
                + QStringList(row.curl.first()),
            row.curl);
        ASSERT_TRUE(p.h.waitUntilIdle());
        EXPECT_EQ(curl.exitCode, 0) << curl.err.constData();
        ASSERT_EQ(p.h.rowCount(), before + 4);
        EXPECT_TRUE(p.h.readRecord(p.h.row(before + 1).at(8)).startsWith(row.protocols))
            << p.h.readRecord(p.h.row(before + 1).at(8)).constData();
        for (int i = before + 2; i <= before + 4; ++i) {
            const QStringList cells = p.h.row(i);
            const int which = cells.at(2) == u"POST"_s ? 3 : cells.at(3).endsWith(u"big"_s) ? 2 : 1;
            const QByteArray body = which == 3 ? posted : which == 2 ? big : small;
            QFile got(out + QString::number(which));
            EXPECT_TRUE(got.open(QIODevice::ReadOnly) && got.readAll() == body)
                << "the browser's body " << which;
            const QByteArray reply = p.h.readRecord(cells.at(8));
            const qsizetype headEnd = reply.indexOf("\r\n\r\n") + 4;
            EXPECT_TRUE(
                reply.startsWith("HTTP/2 200\r\n") && reply.first(headEnd).contains("\r\nserver: nghttpd"))
                << reply.first(qMin<qsizetype>(reply.size(), 300)).constData();
            EXPECT_TRUE(reply.sliced(headEnd) == body) << "row " << i << "'s recorded body differs";
        }
    }
    server.kill();
    server.waitForFinished(2000);
}

namespace {

// An origin that speaks h2 whenever it is offered, and misbehaves on request: the first stream
// for /refused is refused unprocessed, /huge gets a header list over the proxy's bound, /goaway
// is answered and its session then ended gracefully, as a server does after its last request on
// a connection; anything else gets "ok". Over HTTP/1.1 it switches to a WebSocket.
struct FakeHttp2Origin : QObject {
    explicit FakeHttp2Origin(QSslConfiguration tls)
    {
        tls.setAllowedNextProtocols({ QByteArrayLiteral("h2"), QByteArrayLiteral("http/1.1") });
        server.setSslConfiguration(tls);
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                serve(socket);
        });
    }
    ~FakeHttp2Origin() override
    {
        for (nghttp2_session *session : sessions)
            nghttp2_session_del(session);
    }
    void serve(QTcpSocket *socket)
    {
        if (static_cast<QSslSocket *>(socket)->sslConfiguration().nextNegotiatedProtocol() != "h2")
            return serveWebSocket(socket);
        nghttp2_session_callbacks *callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_on_header_callback(callbacks,
            [](nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name, size_t,
                const uint8_t *value, size_t valueLength, uint8_t, void *self) {
                if (std::strcmp(reinterpret_cast<const char *>(name), ":path") == 0)
                    static_cast<FakeHttp2Origin *>(self)->paths[frame->hd.stream_id]
                        = QByteArray(reinterpret_cast<const char *>(value), qsizetype(valueLength));
                return 0;
            });
        nghttp2_session_callbacks_set_on_frame_recv_callback(
            callbacks, [](nghttp2_session *session, const nghttp2_frame *frame, void *self) {
                if (frame->hd.type <= NGHTTP2_HEADERS && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
                    static_cast<FakeHttp2Origin *>(self)->answer(session, frame->hd.stream_id);
                return 0;
            });
        nghttp2_option *options = nullptr;
        nghttp2_option_new(&options);
        nghttp2_option_set_max_send_header_block_length(options, 1 << 20);
        nghttp2_session *session = nullptr;
        nghttp2_session_server_new2(&session, callbacks, this, options);
        nghttp2_option_del(options);
        nghttp2_session_callbacks_del(callbacks);
        sessions.append(session);
        connect(socket, &QTcpSocket::disconnected, this, [this] { ++closed; });
        nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
        const auto pump = [socket, session] {
            const QByteArray in = socket->readAll();
            nghttp2_session_mem_recv(
                session, reinterpret_cast<const uint8_t *>(in.constData()), size_t(in.size()));
            const uint8_t *out = nullptr;
            for (ssize_t n; (n = nghttp2_session_mem_send(session, &out)) > 0;)
                socket->write(reinterpret_cast<const char *>(out), n);
        };
        connect(socket, &QTcpSocket::readyRead, this, pump);
        pump();
    }
    void answer(nghttp2_session *session, qint32 id)
    {
        const QByteArray path = paths.value(id);
        if (path == "/refused" && !refused++) {
            nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, id, NGHTTP2_REFUSED_STREAM);
            return;
        }
        const QByteArray big(path == "/huge" ? 70000 : 1, 'h');
        const auto nv = [](const char *name, const QByteArray &value) {
            return nghttp2_nv { reinterpret_cast<uint8_t *>(const_cast<char *>(name)),
                reinterpret_cast<uint8_t *>(const_cast<char *>(value.constData())), std::strlen(name),
                size_t(value.size()), NGHTTP2_NV_FLAG_NONE };
        };
        static const QByteArray ok = "200", length = "2";
        const nghttp2_nv head[] = { nv(":status", ok), nv("content-length", length), nv("x-big", big) };
        nghttp2_data_provider body {};
        body.read_callback = [](nghttp2_session *, int32_t, uint8_t *buffer, size_t, uint32_t *flags,
                                 nghttp2_data_source *, void *) -> ssize_t {
            std::memcpy(buffer, "ok", 2);
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            return 2;
        };
        nghttp2_submit_response(session, id, head, std::size(head), &body);
        if (path == "/goaway")
            nghttp2_submit_goaway(session, NGHTTP2_FLAG_NONE, id, NGHTTP2_NO_ERROR, nullptr, 0);
    }

    // The switch and a frame once the request is in; what comes after it is kept.
    void serveWebSocket(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            const bool asked = http11.contains("\r\n\r\n");
            http11 += socket->readAll();
            if (!asked && http11.contains("\r\n\r\n"))
                socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\n\r\n\x81\x02hi");
        });
    }

    QSslServer server;
    QByteArray http11; // what came over HTTP/1.1
    QList<nghttp2_session *> sessions;
    QHash<qint32, QByteArray> paths; // streams of all sessions: ids repeat, but requests go in turn
    int refused = 0, closed = 0;
};

} // namespace

// Regression guard: a refused stream must be sent again on a new connection, even a POST, and a
// server that breaks the bounds must end its own session with a 502, not the proxy or the
// browser's next request.
TEST(HttpsDecryption, Http2ServerFaultsEndTheirStreamOrSessionOnly)
{
    DecryptingProxy p;
    FakeHttp2Origin origin(p.origin(u"localhost"_s));
    const QString base = u"https://localhost:%1/"_s.arg(origin.server.serverPort());
    const CurlResult curl
        = p.curl({ base + u"refused"_s, base + u"huge"_s, base + u"goaway"_s, base + u"after"_s },
            { u"--http1.1"_s, u"--data-binary"_s, u"x"_s, u"-w"_s, u" %{http_code};"_s });
    ASSERT_TRUE(p.h.waitUntilIdle());
    EXPECT_EQ(origin.refused, 2);
    static const QRegularExpression codes(u"(?s)^ok 200;.* 502;ok 200;ok 200;$"_s);
    EXPECT_TRUE(codes.match(QString::fromLatin1(curl.out)).hasMatch()) << curl.out.constData();
    EXPECT_EQ(origin.sessions.size(), 4) << "one more after the refusal, the bound and GOAWAY each";
    EXPECT_TRUE(p.h.log.text.contains(u"header list over"_s)) << p.h.log.text.toStdString();

    // Regression: each tunnel's own server session stayed open after the tunnel until the idle
    // sweep, so that a page's worth of tunnels left hundreds of them. Each network thread keeps
    // its own.
    const qsizetype before = origin.sessions.size();
    const int tunnels = 12, bound = p.h.server->threads() * UpstreamPool::MaxIdleSessionsPerServer;
    ASSERT_LT(bound, tunnels);
    EXPECT_EQ(
        p.curl(QStringList(tunnels, base + u"after"_s), { u"--http1.1"_s, u"-H"_s, u"Connection: close"_s })
            .out,
        QByteArray("ok").repeated(tunnels));
    EXPECT_EQ(origin.sessions.size() - before, tunnels) << "a connection per tunnel";
    EXPECT_TRUE(waitFor([&] { return origin.sessions.size() - origin.closed <= bound; }))
        << origin.sessions.size() - origin.closed << " sessions open";
}

// Regression: a WebSocket's request went to a server that speaks HTTP/2 as a stream, without its
// Upgrade field, so that the browser got an ordinary reply and no WebSocket.
TEST(HttpsDecryption, WebSocketToAnHttp2ServerGetsAConnectionOfHttp11)
{
    DecryptingProxy p;
    FakeHttp2Origin origin(p.origin(u"localhost"_s));
    QSslSocket browser;
    ASSERT_TRUE(openTlsTunnel(
        browser, p.h.port(), origin.server.serverPort(), p.tarnwickCa, { QByteArrayLiteral("http/1.1") }));
    browser.write("GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    QByteArray received;
    EXPECT_TRUE(waitFor([&] { return (received += browser.readAll()).endsWith("\x81\x02hi"); }))
        << received.constData();
    EXPECT_TRUE(received.startsWith("HTTP/1.1 101 ")) << received.constData();
    browser.write("\x81\x02yo");
    EXPECT_TRUE(waitFor([&] { return origin.http11.endsWith("\x81\x02yo"); })) << origin.http11.constData();
    EXPECT_TRUE(origin.http11.contains("\r\nUpgrade: websocket\r\n"));
    EXPECT_EQ(origin.sessions.size(), 1) << "the tunnel's own connection speaks h2";
    browser.disconnectFromHost();
    EXPECT_TRUE(p.h.waitUntilIdle());
}

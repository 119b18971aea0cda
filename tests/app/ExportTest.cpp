#include "Compressed.h"
#include "CurlCommand.h"
#include "FakeOrigin.h"
#include "HarBuilder.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "RecordMessage.h"
#include "RecordWriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace {

using namespace Qt::StringLiterals;

QJsonValue at(const QJsonValue &root, const QString &path)
{
    QJsonValue value = root;
    for (const QString &key : path.split(QLatin1Char('.')))
        value = value.toObject().value(key);
    return value;
}

// Every field HAR 1.2 requires of an entry, each followed by its JSON type: s string, n number, o
// object, a array.
void expectHarFields(const QJsonValue &entry)
{
    const QStringList words = QStringLiteral(
        "startedDateTime s time n cache o timings.send n timings.wait n timings.receive n request.method s "
        "request.url s request.httpVersion s request.cookies a request.headers a request.queryString a "
        "request.headersSize n request.bodySize n response.status n response.statusText s "
        "response.httpVersion s response.cookies a response.headers a response.content.size n "
        "response.content.mimeType s response.redirectURL s response.headersSize n response.bodySize n")
                                  .split(QLatin1Char(' '));
    for (qsizetype i = 0; i + 1 < words.size(); i += 2) {
        const int type = at(entry, words[i]).type();
        EXPECT_EQ(QLatin1Char(type < 6 ? "-bnsao"[type] : '-'), words[i + 1][0]) << qPrintable(words[i]);
    }
}

QJsonArray pairs(std::initializer_list<std::pair<const char *, const char *>> list)
{
    QJsonArray array;
    for (const auto &[name, value] : list)
        array.append(
            QJsonObject { { u"name"_s, QLatin1String(name) }, { u"value"_s, QString::fromUtf8(value) } });
    return array;
}

// Runs a copied command line the way a user pastes it into a shell, with no proxy and no curl
// configuration of the user's; bounded in time.
int runInShell(const QString &command)
{
    QProcess shell;
    shell.start(u"/bin/sh"_s,
        { u"-c"_s, u"CURL_HOME=/nonexistent "_s + command + u" -s --max-time 10 --noproxy '*'"_s });
    return waitFor([&shell] { return shell.state() == QProcess::NotRunning; }, 15000) ? shell.exitCode() : -1;
}

} // namespace

TEST(HarExport, RealExchangesComeBackFieldByFieldFromTheRecords)
{
    ProxyHarness proxy;
    FakeOrigin origin;
    const QByteArray text(1000, 'a');
    const QByteArray stored = deflated(text);
    origin.setReply({ "HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                      "Set-Cookie: s=3; Path=/\r\nTransfer-Encoding: chunked\r\n\r\n"
                        + QByteArray::number(stored.size(), 16) + "\r\n" + stored + "\r\n0\r\n\r\n" },
        FakeOrigin::Closing::Never);
    const QByteArray body("\0\x01\xfe\xff", 4);
    const QByteArray path = "/up/caf\xc3\xa9?x=1&y=a%20b";
    RawBrowser browser(proxy.port());
    browser.send("POST " + origin.url(QString()).toLatin1() + path
        + " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: a=1; b=2\r\nX-Name: caf\xc3\xa9\r\n"
          "Content-Type: application/octet-stream\r\nContent-Length: 4\r\n\r\n"
        + body);
    ASSERT_TRUE(waitFor([&] { return proxy.rowCount() == 1 && proxy.recordExists(proxy.row(1).value(8)); }));
    // Bound, never listening: refused for certain, unlike a port found free a moment ago.
    QTcpSocket refusing;
    ASSERT_TRUE(refusing.bind(QHostAddress::LocalHost, 0));
    browser.send("GET http://127.0.0.1:" + QByteArray::number(refusing.localPort())
        + "/gone HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] {
        return proxy.rowCount() == 2 && proxy.row(2)[6] == u"ERROR"_s
            && proxy.recordExists(proxy.row(2).value(8));
    }));

    RecordWriter::instance().drain(5000);
    const QString records = proxy.folder.requests();
    QList<HarBuilder::Row> rows;
    for (const QStringList &cells : { proxy.row(1), proxy.row(2) })
        rows.append({ records + cells[7], records + cells[8], cells[1], cells[6] });
    const QJsonDocument har
        = QJsonDocument::fromJson(QJsonDocument(HarBuilder::build(rows, u"1.2.3"_s)).toJson());
    EXPECT_EQ(at(har.object(), u"log.version"_s), u"1.2"_s);
    const QJsonArray entries = at(har.object(), u"log.entries"_s).toArray();
    ASSERT_EQ(entries.size(), 2);
    for (const QJsonValue &entry : entries)
        expectHarFields(entry);

    const RecordMessage sent = RecordMessage::parse(proxy.readRecord(proxy.row(1)[7]));
    const RecordMessage reply = RecordMessage::parse(proxy.readRecord(proxy.row(1)[8]));
    const QDateTime started = HarBuilder::recordTime(proxy.row(1)[7]);
    const QString url = origin.url(QString()) + QString::fromUtf8(path);
    const struct {
        const char *path;
        QJsonValue expected;
        int entry = 0;
    } fields[] = { { "startedDateTime",
                       started.toOffsetFromUtc(started.offsetFromUtc()).toString(Qt::ISODateWithMs) },
        { "serverIPAddress", u"127.0.0.1"_s }, { "request.method", u"POST"_s },
        // Regression: UTF-8 in the URL and in header values was read one byte to a character.
        { "request.url", url }, { "request.httpVersion", u"HTTP/1.1"_s },
        { "request.headers",
            pairs({ { "Host", "127.0.0.1" }, { "Cookie", "a=1; b=2" }, { "X-Name", "caf\xc3\xa9" },
                { "Content-Type", "application/octet-stream" }, { "Content-Length", "4" } }) },
        { "request.headersSize", qint64(sent.headerSize) }, { "request.bodySize", 4 },
        { "request.queryString", pairs({ { "x", "1" }, { "y", "a b" } }) },
        { "request.cookies", pairs({ { "a", "1" }, { "b", "2" } }) },
        { "request.postData.mimeType", u"application/octet-stream"_s },
        // Regression: postData has no "encoding" in HAR 1.2; members of one's own start with "_".
        { "request.postData._encoding", u"base64"_s },
        { "request.postData.text", QString::fromLatin1(body.toBase64()) }, { "response.status", 201 },
        { "response.statusText", u"Created"_s }, { "response.cookies", pairs({ { "s", "3" } }) },
        { "response.headersSize", qint64(reply.headerSize) },
        { "response.bodySize", qint64(reply.body.size()) }, { "response.content.size", 1000 },
        // Regression: the bytes saved were written negated, chunk framing included.
        { "response.content.compression", 1000 - stored.size() },
        { "response.content.text", QString::fromLatin1(text) },
        { "response.content.mimeType", u"text/plain"_s },
        // A request the proxy answered itself has that answer as its reply.
        { "request.method", u"GET"_s, 1 }, { "response.status", 502, 1 },
        // Regression: a failed exchange showed the address of the server before it.
        { "serverIPAddress", QJsonValue::Undefined, 1 } };
    for (const auto &field : fields)
        EXPECT_EQ(at(entries[field.entry], QLatin1String(field.path)), field.expected) << field.path;
    EXPECT_EQ(proxy.row(1)[3], url.left(url.indexOf(QLatin1Char('?')))) << "the URL cell";
}

TEST(CopyAsCurl, TheCommandSendsTheRecordedRequestAgainByteForByte)
{
    // Guards against curl adding, dropping, reordering or reshaping anything the browser sent.
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.1 204 No Content\r\n\r\n") });
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(origin.port()) + "\r\n";
    const QByteArray url = origin.url(QString()).toLatin1();
    const QByteArray binary("\0\x01\xff'%s\\n\n\r\"$(id)`", 16);
    const struct {
        const char *name;
        QByteArray record;
        QByteArray sent = {}; // what the origin must receive, when not the record in origin-form
    } rows[] = {
        { "browser GET; hop-by-hop fields dropped, odd characters kept",
            "GET " + url + "/a/../b?q=[1]&x=%20 HTTP/1.1\r\n" + host
                + "User-Agent: Mozilla/5.0 (X11)\r\nAccept: text/html\r\nProxy-Connection: keep-alive\r\n"
                  "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\nX-Empty:\r\nX-Quote: it's \"q\" $HOME `id` "
                  "\\\r\n\r\n",
            "GET /a/../b?q=[1]&x=%20 HTTP/1.1\r\n" + host
                + "User-Agent: Mozilla/5.0 (X11)\r\nAccept: text/html\r\nX-Empty:\r\n"
                  "X-Quote: it's \"q\" $HOME `id` \\\r\n\r\n" },
        { "POST with a binary body",
            "POST " + url + "/up HTTP/1.1\r\n" + host
                + "Content-Type: application/octet-stream\r\nContent-Length: 16\r\n\r\n" + binary },
        { "text body that starts like a file name, HTTP/1.0",
            "PUT " + url + "/t HTTP/1.0\r\n" + host + "Content-Length: 9\r\n\r\n@etc/x 'y" },
        // Regression: non-ASCII bytes came out as the UTF-8 of their Latin-1 reading.
        { "UTF-8 in the target and a field",
            "GET " + url + "/caf\xc3\xa9 HTTP/1.1\r\n" + host + "X-N: \xc3\xa9\r\n\r\n",
            "GET /caf%c3%a9 HTTP/1.1\r\n" + host + "X-N: \xc3\xa9\r\n\r\n" },
        { "a request without Host or Accept gets none from curl",
            "DELETE " + url + "/d HTTP/1.1\r\nX-Only: 1\r\n\r\n" }
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        origin.clearRequests();
        const QString command = CurlCommand::fromRecord(row.record);
        EXPECT_EQ(runInShell(command), 0) << qPrintable(command);
        EXPECT_EQ(origin.requests,
            QList { row.sent.isEmpty() ? QByteArray(row.record).replace(url, "") : row.sent })
            << qPrintable(command);
    }
    // A request that came over HTTP/2 is recorded without Host or scheme: the row's URL is used.
    const QString h2 = CurlCommand::fromRecord("GET /x HTTP/2\r\nuser-agent: a\r\n\r\n", u"https://h:1/x"_s);
    EXPECT_TRUE(h2.startsWith(u"curl --http2 "_s) && h2.contains(u"'https://h:1/x'"_s)) << qPrintable(h2);
}

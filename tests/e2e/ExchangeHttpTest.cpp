#include "CProxyConnection.h"
#include "CurlRun.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RawBrowser.h"
#include "Wait.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QString idFromLog(const QStringList &lines)
{
    static const QRegularExpression adding(QStringLiteral("^Adding #\\d+ - (\\d+)$"));
    for (const QString &line : lines) {
        const auto match = adding.match(line);
        if (match.hasMatch())
            return match.captured(1);
    }
    return QString();
}

struct HttpCase {
    const char *name;
    QList<QByteArray> reply;
    FakeOrigin::Closing closing;
    QString path;
    QByteArray postBody;
};

QList<QByteArray> manyChunks()
{
    QList<QByteArray> chunks = {QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")};
    for (int i = 0; i < 60; ++i)
        chunks.append(QByteArray(97, static_cast<char>('a' + i % 26)) + QByteArray::number(i) + '\n');
    return chunks;
}

} // namespace

// Each exchange through the proxy: what curl got, what the origin got, both record files, the
// history row and the access log. Guards against replies that never end on keep-alive origins,
// hop-by-hop headers leaking upstream, and browsers left waiting after the last byte.
TEST(ExchangeHttp, CurlExchangesAreRelayedRecordedAndReported)
{
    const HttpCase cases[] = {
        {"keep-alive origin, GET with query",
         {QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 11\r\nContent-Type: text/plain\r\n\r\n"),
          QByteArrayLiteral("hello world")},
         FakeOrigin::Closing::WhenAsked, QStringLiteral("/a/b?x=1"), {}},
        {"close-delimited HTTP/1.0 origin",
         {QByteArrayLiteral("HTTP/1.0 200 OK\r\n"), QByteArrayLiteral("Content-Type: text/html\r\n\r\n"),
          QByteArrayLiteral("<p>one</p>"), QByteArrayLiteral("<p>two</p>")},
         FakeOrigin::Closing::AfterReply, QStringLiteral("/page.html"), {}},
        {"chunked reply",
         {QByteArrayLiteral("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), QByteArrayLiteral("5\r\nhello\r\n"),
          QByteArrayLiteral("6\r\n world\r\n"), QByteArrayLiteral("0\r\n\r\n")},
         FakeOrigin::Closing::WhenAsked, QStringLiteral("/chunked"), {}},
        {"reply in many chunks", manyChunks(), FakeOrigin::Closing::AfterReply, QStringLiteral("/many"), {}},
        {"empty reply", {}, FakeOrigin::Closing::AfterReply, QStringLiteral("/empty"), {}},
        {"POST to keep-alive origin",
         {QByteArrayLiteral("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok")}, FakeOrigin::Closing::WhenAsked,
         QStringLiteral("/form"), QByteArrayLiteral("name=value&bytes=\x01\x02\xff\r\n\r\nGET / HTTP/1.1")},
    };

    for (const HttpCase &c : cases) {
        SCOPED_TRACE(c.name);
        ProxyHarness h;
        ASSERT_TRUE(h.server->Running());
        FakeOrigin origin;
        origin.setReply(c.reply, c.closing);

        QStringList args = {QStringLiteral("-i"), QStringLiteral("--raw"), QStringLiteral("--proxy"), h.proxyUrl()};
        if (!c.postBody.isEmpty()) {
            // Through a file, so that every byte reaches curl unchanged.
            QFile body(h.folder.path() + QStringLiteral("body.bin"));
            ASSERT_TRUE(body.open(QIODevice::WriteOnly));
            body.write(c.postBody);
            body.close();
            args += {QStringLiteral("--data-binary"), QStringLiteral("@") + body.fileName()};
        }
        args += origin.url(c.path);
        const CurlResult curl = runCurl(args);
        ASSERT_TRUE(h.waitUntilIdle());

        const bool empty = c.reply.isEmpty();
        EXPECT_EQ(curl.exitCode, empty ? 52 : 0) << curl.err.constData();
        EXPECT_EQ(curl.out, origin.replyBytes());

        ASSERT_EQ(h.rowCount(), 1);
        const QStringList row = h.row(1);
        const QString requestFile = row.at(7);
        const QString responseFile = row.at(8);
        ASSERT_TRUE(requestFile.endsWith(QStringLiteral("-Q.txt"))) << requestFile.toStdString();
        EXPECT_EQ(responseFile, requestFile.chopped(6) + QStringLiteral("-A.txt"));
        EXPECT_EQ(h.folder.requestFiles(), QStringList({responseFile, requestFile}));

        const QByteArray request = h.readRecord(requestFile);
        const QByteArray method = c.postBody.isEmpty() ? QByteArrayLiteral("GET") : QByteArrayLiteral("POST");
        EXPECT_TRUE(request.startsWith(method + ' ' + origin.url(c.path).toLatin1() + " HTTP/1.1\r\n"));
        EXPECT_TRUE(request.endsWith("\r\n\r\n" + c.postBody));
        EXPECT_EQ(h.readRecord(responseFile), origin.replyBytes());

        ASSERT_EQ(origin.requests.size(), 1);
        const QByteArray upstream = origin.requests.first();
        EXPECT_TRUE(upstream.startsWith(method + ' ' + c.path.toLatin1() + " HTTP/1.1\r\n")) << upstream.constData();
        EXPECT_TRUE(upstream.contains("\r\nConnection: close\r\n"));
        EXPECT_FALSE(upstream.toLower().contains("proxy-connection"));
        EXPECT_TRUE(upstream.endsWith("\r\n\r\n" + c.postBody));

        QString page = origin.url(c.path);
        page.truncate(page.indexOf(QLatin1Char('?')) < 0 ? page.size() : page.indexOf(QLatin1Char('?')));
        const QStringList expectedRow = {QStringLiteral("127.0.0.1"),
                                         QStringLiteral("127.0.0.1"),
                                         QString::fromLatin1(method),
                                         page,
                                         ProxyHarness::number(request.size()),
                                         ProxyHarness::number(origin.replyBytes().size()),
                                         QStringLiteral("DONE"),
                                         requestFile,
                                         responseFile};
        EXPECT_EQ(row, expectedRow);

        const QStringList log = h.logLines().mid(1);
        const QString id = idFromLog(log);
        const QStringList expectedLog = {
            QStringLiteral("Adding #1 - ") + id,
            QStringLiteral("1 - 127.0.0.1 - Requesting ") + QString::fromLatin1(method) + QStringLiteral(" - ") + page,
            QStringLiteral("Received ") + page + QStringLiteral(" for ") + id,
            QStringLiteral("Removing #") + id,
        };
        EXPECT_EQ(log, expectedLog);
    }
}

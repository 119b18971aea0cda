#include "CHTTPGet.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

void prepare(CHTTPGet &get, const QString &record)
{
    get.setResponseFile(record);
    get.setSendHeader(QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
}

} // namespace

TEST(CHTTPGet, ParseURLFindsHostPortAndPath)
{
    struct Row {
        const char *name, *input, *host;
        qint32 port;
        const char *url;
    };
    const Row rows[] = {
        { "port and query", "http://name:8080/a?b", "name", 8080, "/a?b" },
        { "no path", "http://name", "name", 80, "/" },
        { "host and port of a tunnel", "name:443", "name", 443, "name:443" },
        { "scheme and host in capitals", "HTTP://Name/a", "name", 80, "/a" },
        { "user information is not the host", "http://a:1@b/", "b", 80, "/" },
        { "port that is no number", "http://name:8e1/x", "", 0, "/" },
        { "empty host", "http:///x", "", 0, "/" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const CHTTPGet::Target target = CHTTPGet::parseURL(QString::fromLatin1(row.input));
        EXPECT_EQ(target.host, QString::fromLatin1(row.host));
        EXPECT_EQ(target.port, row.port);
        EXPECT_EQ(target.url, QString::fromLatin1(row.url));
    }
}

// A transfer raises Connected before the request goes out, one DataReceived per chunk, and
// TransferCompleted once, only when the record is complete under its own name (replacing an
// older file) and the socket is closed.
TEST(CHTTPGet, CompletedTransferIsRecordedBeforeItIsReported)
{
    TestFolder folder;
    const QString record = folder.requests() + QStringLiteral("x-A.txt");
    QFile older(record);
    ASSERT_TRUE(older.open(QIODevice::WriteOnly));
    older.write("an older reply that must be replaced entirely");
    older.close();
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.0 200 OK\r\n\r\n", "part one;", QByteArray("\0binary\r\n", 9) });
    CHTTPGet get;
    prepare(get, record);

    int requestsAtConnect = -1;
    QObject::connect(
        &get, &CHTTPGet::Connected, &get, [&] { requestsAtConnect = origin.completeRequests(); });
    QByteArray recordAtCompletion;
    bool partLeft = true;
    int socketState = -1;
    QObject::connect(&get, &CHTTPGet::TransferCompleted, &get, [&] {
        QFile file(record);
        recordAtCompletion = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        partLeft = QFile::exists(get.partFile());
        socketState = get.socket()->State();
    });
    QSignalSpy data(&get, &CHTTPGet::DataReceived);
    QSignalSpy completed(&get, &CHTTPGet::TransferCompleted);
    get.OpenURL(origin.url(QStringLiteral("/x")));
    ASSERT_TRUE(waitFor([&] { return completed.count() > 0; }));
    QCoreApplication::processEvents();

    EXPECT_EQ(requestsAtConnect, 0);
    EXPECT_EQ(origin.requests.value(0), QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
    QByteArray relayed;
    for (const QList<QVariant> &arguments : data) {
        relayed += arguments.at(0).toByteArray();
        EXPECT_EQ(arguments.at(1).toInt(), arguments.at(0).toByteArray().size());
    }
    EXPECT_EQ(relayed, origin.replyBytes());
    EXPECT_GE(data.count(), 2);
    ASSERT_EQ(completed.count(), 1);
    EXPECT_EQ(completed.first().at(3).toInt(), origin.replyBytes().size());
    EXPECT_EQ(recordAtCompletion, origin.replyBytes());
    EXPECT_FALSE(partLeft);
    EXPECT_EQ(socketState, EventSocket::sckClosed);
}

// Upstream failures are reported (the owner answers the browser with a 502) instead of an empty
// reply, never from inside OpenURL, whose caller is still setting the exchange up, and with
// nothing passed on and no record left behind.
TEST(CHTTPGet, FailureBeforeAnyReplyIsReportedFromTheEventLoop)
{
    FakeOrigin silent, endlessHeader;
    silent.setReply({});
    endlessHeader.setReply({ "HTTP/1.1 200 OK\r\n" + QByteArray(CHTTPGet::MaxReplyHeaderLength, 'x') });
    struct Row {
        const char *name;
        QString url, host;
    };
    const Row rows[] = {
        { "empty host", QStringLiteral("http:///x"), QString() },
        { "port out of range", QStringLiteral("http://127.0.0.1:70000/x"), QString() },
        { "name that never resolves", QStringLiteral("http://nothing.invalid/x"),
            QStringLiteral("nothing.invalid") },
        { "refused port", QStringLiteral("http://127.0.0.1:%1/x").arg(ProxyHarness::freePort()),
            QStringLiteral("127.0.0.1") },
        { "server closes without a byte", silent.url(), QStringLiteral("127.0.0.1") },
        { "reply header that never ends", endlessHeader.url(), QStringLiteral("127.0.0.1") },
    };
    TestFolder folder;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CHTTPGet get;
        prepare(get, folder.requests() + QStringLiteral("f-A.txt"));
        QSignalSpy failed(&get, &CHTTPGet::failed);
        QSignalSpy received(&get, &CHTTPGet::DataReceived);
        get.OpenURL(row.url);
        EXPECT_EQ(failed.count(), 0);
        ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
        QCoreApplication::processEvents();
        ASSERT_EQ(failed.count(), 1);
        EXPECT_EQ(failed.first().at(0).toString(), row.host);
        EXPECT_FALSE(failed.first().at(1).toString().isEmpty());
        EXPECT_EQ(received.count(), 0);
        EXPECT_EQ(folder.requestFiles(), QStringList());
    }
}

// A reply record that cannot be written is reported once; the exception must not unwind
// through the socket's signal into the event loop.
TEST(CHTTPGet, UnwritableRecordIsReportedNotThrown)
{
    TestFolder folder;
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nbody") });
    CHTTPGet get;
    prepare(get, folder.requests() + QStringLiteral("missing-folder/r-A.txt"));
    QSignalSpy recordFailed(&get, &CHTTPGet::recordFailed);
    QSignalSpy completed(&get, &CHTTPGet::TransferCompleted);
    get.OpenURL(origin.url());
    ASSERT_TRUE(waitFor([&] { return recordFailed.count() > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(recordFailed.count(), 1);
    EXPECT_EQ(completed.count(), 0);
}

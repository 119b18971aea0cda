#include "CHTTPGet.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>

namespace {

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(CHTTPGet, ParseURLFindsHostPortAndPath)
{
    struct Row {
        const char *name;
        QString input;
        QString host;
        qint32 port;
        QString url;
    };
    const Row rows[] = {
        {"port and query", QStringLiteral("http://name:8080/a?b"), QStringLiteral("name"), 8080, QStringLiteral("/a?b")},
        {"no path", QStringLiteral("http://name"), QStringLiteral("name"), 80, QStringLiteral("/")},
        {"host and port of a tunnel", QStringLiteral("name:443"), QStringLiteral("name"), 443, QStringLiteral("name:443")},
        {"scheme in capitals is not taken apart", QStringLiteral("HTTP://name/a"), QStringLiteral("HTTP"), 80,
         QStringLiteral("HTTP://name/a")},
        {"port that is no number", QStringLiteral("http://name:abc/x"), QStringLiteral("name"), 80, QStringLiteral("/x")},
        {"empty port", QStringLiteral("http://name:/x"), QStringLiteral("name"), 80, QStringLiteral("/x")},
        {"empty host", QStringLiteral("http:///x"), QString(), 80, QStringLiteral("/x")},
        {"empty host with port", QStringLiteral("http://:8080/x"), QString(), 8080, QStringLiteral("/x")},
        {"bare path is a host", QStringLiteral("index.html"), QStringLiteral("index.html"), 80,
         QStringLiteral("index.html")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const CHTTPGet::Target target = CHTTPGet::parseURL(row.input);
        EXPECT_EQ(target.host, row.host);
        EXPECT_EQ(target.port, row.port);
        EXPECT_EQ(target.url, row.url);
    }
}

// A transfer raises Connected before the request goes out, one DataReceived per chunk, and
// TransferCompleted only once the record is complete under its own name and the socket closed.
TEST(CHTTPGet, CompletedTransferIsRecordedBeforeItIsReported)
{
    TestFolder folder;
    const QString record = folder.requests() + QStringLiteral("x-A.txt");
    writeFile(record, QByteArrayLiteral("an older reply that must be replaced entirely"));

    FakeOrigin origin;
    const QList<QByteArray> chunks = {QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\n"), QByteArrayLiteral("part one;"),
                                      QByteArray("\0binary\r\n", 9)};
    origin.setReply(chunks);

    CHTTPGet get;
    get.setResponseFile(record);
    get.setRequestID(7);
    get.setSendHeader(QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));

    int originRequestsAtConnect = -1;
    QByteArray relayed;
    int dataEvents = 0;
    int completions = 0;
    QByteArray recordAtCompletion;
    bool partLeftAtCompletion = true;
    bool finishedAtCompletion = false;
    int socketStateAtCompletion = -1;
    QObject::connect(&get, &CHTTPGet::Connected, &get, [&] { originRequestsAtConnect = origin.completeRequests(); });
    QObject::connect(&get, &CHTTPGet::DataReceived, &get, [&](const QByteArray &chunk, qint32 size, qint32 length) {
        EXPECT_EQ(size, chunk.size());
        EXPECT_EQ(length, 0);
        relayed += chunk;
        ++dataEvents;
    });
    QObject::connect(&get, &CHTTPGet::TransferCompleted, &get,
                     [&](const QByteArray &header, const QByteArray &, qint32 contentLength, qint32 bufferLength) {
                         ++completions;
                         EXPECT_TRUE(header.isEmpty());
                         EXPECT_EQ(contentLength, 0);
                         EXPECT_EQ(bufferLength, origin.replyBytes().size());
                         recordAtCompletion = readFile(record);
                         partLeftAtCompletion = QFile::exists(get.partFile());
                         finishedAtCompletion = get.Finished();
                         socketStateAtCompletion = get.socket()->State();
                     });

    get.OpenURL(origin.url(QStringLiteral("/x")));
    EXPECT_EQ(get.Host(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(get.URL(), QStringLiteral("/x"));
    ASSERT_TRUE(waitFor([&] { return completions > 0; }));
    QCoreApplication::processEvents();

    EXPECT_EQ(originRequestsAtConnect, 0);
    EXPECT_EQ(origin.requests.value(0), QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(relayed, origin.replyBytes());
    EXPECT_GE(dataEvents, 2);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(recordAtCompletion, origin.replyBytes());
    EXPECT_FALSE(partLeftAtCompletion);
    EXPECT_TRUE(finishedAtCompletion);
    EXPECT_EQ(socketStateAtCompletion, EventSocket::sckClosed);
    EXPECT_EQ(get.BufferSize(), origin.replyBytes().size());
    EXPECT_EQ(get.RemoteIP(), QStringLiteral("127.0.0.1"));
}

TEST(CHTTPGet, ServerThatClosesAtOnceGivesAnEmptyRecord)
{
    TestFolder folder;
    FakeOrigin origin;
    origin.setReply({});
    CHTTPGet get;
    get.setResponseFile(folder.requests() + QStringLiteral("e-A.txt"));
    get.setSendHeader(QByteArrayLiteral("GET / HTTP/1.0\r\n\r\n"));
    QSignalSpy completed(&get, &CHTTPGet::TransferCompleted);
    get.OpenURL(origin.url());
    ASSERT_TRUE(waitFor([&] { return completed.count() > 0; }));
    EXPECT_EQ(completed.first().at(3).toInt(), 0);
    EXPECT_TRUE(QFile::exists(get.ResponseFile()));
    EXPECT_EQ(readFile(get.ResponseFile()), QByteArray());
}

// A reply cut off (server still open, or connection reset mid-reply) must not leave a record or
// its temporary file behind.
TEST(CHTTPGet, TransferCutOffLeavesNoRecord)
{
    TestFolder folder;
    {
        SCOPED_TRACE("server keeps the connection open, fetcher destroyed");
        FakeOrigin origin;
        origin.setReply({QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}, FakeOrigin::Closing::Never);
        auto get = std::make_unique<CHTTPGet>();
        get->setResponseFile(folder.requests() + QStringLiteral("open-A.txt"));
        get->setSendHeader(QByteArrayLiteral("GET / HTTP/1.1\r\n\r\n"));
        QSignalSpy data(get.get(), &CHTTPGet::DataReceived);
        QSignalSpy completed(get.get(), &CHTTPGet::TransferCompleted);
        get->OpenURL(origin.url());
        ASSERT_TRUE(waitFor([&] { return get->BufferSize() == origin.replyBytes().size(); }));
        EXPECT_EQ(completed.count(), 0);
        EXPECT_FALSE(get->Finished());
        get.reset();
        EXPECT_EQ(folder.requestFiles(), QStringList());
    }
    {
        SCOPED_TRACE("connection broken after the first bytes");
        FakeOrigin origin;
        origin.setReply({QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\npartial")}, FakeOrigin::Closing::Never);
        CHTTPGet get;
        get.setResponseFile(folder.requests() + QStringLiteral("broken-A.txt"));
        get.setSendHeader(QByteArrayLiteral("GET / HTTP/1.0\r\n\r\n"));
        QSignalSpy broken(&get, &CHTTPGet::brokenOff);
        QSignalSpy failed(&get, &CHTTPGet::failed);
        get.OpenURL(origin.url());
        ASSERT_TRUE(waitFor([&] { return get.BufferSize() > 0; }));
        get.socket()->raiseError(EventSocket::sckConnectionAborted, QStringLiteral("aborted"));
        QCoreApplication::processEvents();
        EXPECT_EQ(broken.count(), 1);
        EXPECT_EQ(failed.count(), 0) << "a failure after reply bytes is no failure to connect";
        EXPECT_EQ(folder.requestFiles(), QStringList());
    }
}

// Upstream failures are reported (the owner answers the browser) instead of raising nothing,
// and never from inside OpenURL, whose caller is still setting the exchange up.
TEST(CHTTPGet, FailureToConnectIsReportedFromTheEventLoop)
{
    struct Row {
        const char *name;
        QString url;
        QString host;
    };
    const quint16 refused = closedPort();
    const Row rows[] = {
        {"empty host", QStringLiteral("http:///x"), QString()},
        {"empty host with a port", QStringLiteral("http://:8080/x"), QString()},
        {"name that never resolves", QStringLiteral("http://nothing.invalid/x"), QStringLiteral("nothing.invalid")},
        {"refused port", QStringLiteral("http://127.0.0.1:%1/x").arg(refused), QStringLiteral("127.0.0.1")},
        {"port out of range", QStringLiteral("http://127.0.0.1:70000/x"), QStringLiteral("127.0.0.1")},
    };
    TestFolder folder;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CHTTPGet get;
        get.setResponseFile(folder.requests() + QStringLiteral("f-A.txt"));
        get.setSendHeader(QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
        QSignalSpy failed(&get, &CHTTPGet::failed);
        QSignalSpy connected(&get, &CHTTPGet::Connected);
        get.OpenURL(row.url);
        EXPECT_EQ(failed.count(), 0);
        ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
        QCoreApplication::processEvents();
        EXPECT_EQ(failed.count(), 1);
        EXPECT_EQ(failed.first().at(0).toString(), row.host);
        EXPECT_FALSE(failed.first().at(1).toString().isEmpty());
        EXPECT_EQ(connected.count(), 0);
        EXPECT_EQ(folder.requestFiles(), QStringList());
    }
}

// A reply record that cannot be written is reported once; the exception must not unwind
// through the socket's signal into the event loop.
TEST(CHTTPGet, UnwritableRecordIsReportedNotThrown)
{
    TestFolder folder;
    FakeOrigin origin;
    origin.setReply({QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nbody")});
    CHTTPGet get;
    get.setResponseFile(folder.requests() + QStringLiteral("missing-folder/r-A.txt"));
    get.setSendHeader(QByteArrayLiteral("GET / HTTP/1.0\r\n\r\n"));
    QSignalSpy recordFailed(&get, &CHTTPGet::recordFailed);
    QSignalSpy completed(&get, &CHTTPGet::TransferCompleted);
    get.OpenURL(origin.url());
    ASSERT_TRUE(waitFor([&] { return recordFailed.count() > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(recordFailed.count(), 1);
    EXPECT_EQ(completed.count(), 0);
}

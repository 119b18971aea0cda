#include "CHTTPGet.h"
#include "EventSocket.h"
#include "FakeOrigin.h"
#include "ProxyHarness.h"
#include "RecordWriter.h"
#include "TestFolder.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

void prepare(CHTTPGet &get, const QString &record)
{
    get.setResponseFile(record);
    get.setSendHeader(QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
}

} // namespace

// A transfer raises Connected before the request goes out, and TransferCompleted once the socket
// is closed; the record handler hears once the record is complete under its own name, replacing
// an older file.
TEST(CHTTPGet, CompletedTransferIsReportedAndItsRecordPutInPlace)
{
    TestFolder folder;
    const QString record = folder.requests() + QStringLiteral("x-A.txt");
    RecordWriter::instance().write(record, "an older reply that must be replaced entirely");
    FakeOrigin origin;
    origin.setReply({ "HTTP/1.0 200 OK\r\n\r\n", "part one;", QByteArray("\0binary\r\n", 9) });
    CHTTPGet get;
    prepare(get, record);
    int requestsAtConnect = -1, completed = 0, recorded = 0;
    QObject::connect(
        &get, &CHTTPGet::Connected, &get, [&] { requestsAtConnect = origin.completeRequests(); });
    QObject::connect(&get, &CHTTPGet::TransferCompleted, &get, [&] {
        ++completed;
        EXPECT_EQ(get.socket()->State(), EventSocket::sckClosed);
    });
    get.setRecordDone([&](bool ok, const QString &) {
        recorded += ok;
        EXPECT_EQ(fileBytes(record), origin.replyBytes());
        EXPECT_FALSE(QFile::exists(get.partFile()));
    });
    get.OpenURL(origin.url(QStringLiteral("/x")));
    ASSERT_TRUE(waitFor([&] { return completed > 0 && recorded > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(requestsAtConnect, 0);
    EXPECT_EQ(origin.requests.value(0), QByteArrayLiteral("GET /x HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(completed + recorded, 2);
}

// Upstream failures are reported (the owner answers the browser with a 502), never from inside
// OpenURL, whose caller is still setting the exchange up, and with nothing passed on.
TEST(CHTTPGet, FailureBeforeAnyReplyIsReportedFromTheEventLoop)
{
    const QString refused = QStringLiteral("http://127.0.0.1:%1/x").arg(ProxyHarness::freePort());
    TestFolder folder;
    for (const QString &url :
        { QStringLiteral("http:///x"), QStringLiteral("http://127.0.0.1:70000/x"), refused }) {
        SCOPED_TRACE(url.toStdString());
        CHTTPGet get;
        prepare(get, folder.requests() + QStringLiteral("f-A.txt"));
        QSignalSpy failed(&get, &CHTTPGet::failed);
        QSignalSpy received(&get, &CHTTPGet::DataReceived);
        get.OpenURL(url);
        EXPECT_EQ(failed.count(), 0);
        ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
        EXPECT_EQ(received.count(), 0);
        EXPECT_EQ(folder.requestFiles(), QStringList());
    }
}

// A reply record that cannot be written is reported once, to the record handler, and does not
// hold the reply back; the exception must not unwind through the socket's signal.
TEST(CHTTPGet, UnwritableRecordIsReportedNotThrown)
{
    TestFolder folder;
    FakeOrigin origin;
    origin.setReply({ QByteArrayLiteral("HTTP/1.0 200 OK\r\n\r\nbody") });
    CHTTPGet get;
    prepare(get, folder.requests() + QStringLiteral("missing-folder/r-A.txt"));
    QStringList outcomes;
    get.setRecordDone(
        [&](bool ok, const QString &error) { outcomes << (ok ? QStringLiteral("ok") : error); });
    QSignalSpy completed(&get, &CHTTPGet::TransferCompleted);
    get.OpenURL(origin.url());
    ASSERT_TRUE(waitFor([&] { return !outcomes.isEmpty(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(outcomes.size(), 1);
    EXPECT_NE(outcomes.value(0), QStringLiteral("ok"));
    EXPECT_EQ(completed.count(), 1);
}

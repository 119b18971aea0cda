#include "CRequest.h"
#include "RecordWriter.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class CRequestTest : public ::testing::Test
{
protected:
    // Feeds the chunks one by one into a fresh parser that records to m_record.
    CRequest &feed(const std::vector<std::string> &chunks)
    {
        QFile::remove(m_record);
        m_request = CRequest();
        m_request.setRequestFile(m_record);
        for (const std::string &chunk : chunks)
            m_lastStatus = m_request.BufferData(QByteArray::fromStdString(chunk));
        RecordWriter::instance().drain(5000);
        return m_request;
    }

    QTemporaryDir m_dir;
    QString m_record = m_dir.filePath(QStringLiteral("r-Q.txt"));
    CRequest m_request;
    qint16 m_lastStatus = -1;
};

const std::string End = "\r\n\r\n";
const std::string Get = "GET http://h/a HTTP/1.1\r\nHost: h\r\n";
const std::string Post = "POST http://h/f HTTP/1.1\r\nHost: h\r\n";
const std::string Chunked = Post + "Transfer-Encoding: chunked\r\n\r\n";
// A header one blank line short of the bound.
const std::string FullHeader
    = "GET http://h/ HTTP/1.0\r\nX: " + std::string(CRequest::MaxHeaderLength - 31, 'x');

struct Row {
    const char *name;
    std::string text;
    int refusal; // 0: complete
    qint16 type = CRequest::TypeGet;
    const char *host = "h";
    int port = 80;
    size_t requestBytes = std::string::npos; // bytes that belong to the request; the rest is excess
};

const Row Rows[] = {
    // Every standard method is forwarded, recognised in any case; unknown tokens are not.
    { "LowerCaseGet", "get http://h/a HTTP/1.1" + End, 0 },
    { "PostEmptyBody", Post + "Content-Length: 0" + End, 0, CRequest::TypePost },
    { "Put", "PUT http://h/x HTTP/1.1\r\nContent-Length: 2" + End + "{}", 0, CRequest::TypeOther },
    { "Delete", "DELETE http://h/x HTTP/1.1" + End, 0, CRequest::TypeOther },
    { "Options", "OPTIONS http://h HTTP/1.1" + End, 0, CRequest::TypeOther },
    { "Trace", "TRACE http://h/ HTTP/1.1" + End, 0, CRequest::TypeOther },
    { "Patch", "PATCH http://h/x HTTP/1.1\r\nContent-Length: 1" + End + "x", 0, CRequest::TypeOther },
    { "Getz", "GETZ http://h/x HTTP/1.0" + End, 0, CRequest::TypeGetz },
    { "Connect", "CONNECT h:443 HTTP/1.1\r\nHost: h:443" + End + "tunnel", 0, CRequest::TypeConnect, "h", 443,
        39 },
    { "TooLongForAnyMethod", "CONNECTX h:443 HTTP/1.1" + End, 501, CRequest::TypeUnknown },
    // Regression: a line that is no request line at all was answered as an unknown method.
    { "NotARequestLine", "hello proxy, how are you today?" + End, 400, CRequest::TypeUnknown },
    { "TabAfterMethod", "GET\thttp://h/a HTTP/1.0" + End, 400, CRequest::TypeUnknown },
    { "HttpTwo", "GET http://h/a HTTP/2.0" + End, 505 },
    { "NoVersion", "GET http://h/a" + End, 400 },
    // The body is framed by fields parsed as fields, one way only.
    { "LengthNameInsideOtherField", Post + "X-Content-Length: 2\r\nContent-Length: 4" + End + "abcd", 0,
        CRequest::TypePost },
    { "LengthNameInsideValue",
        Post + "Referer: http://r/?content-length: 1\r\nContent-Length: 3" + End + "abc", 0,
        CRequest::TypePost },
    { "GetWithBody", Get + "Content-Length: 2" + End + "ab", 0 },
    { "PipelinedAfterLength", Post + "Content-Length: 2" + End + "abGET http://h/ HTTP/1.1" + End, 0,
        CRequest::TypePost, "h", 80, Post.size() + 23 },
    { "PipelinedAfterGet", Get + "\r\nGET http://h/b HTTP/1.1" + End, 0, CRequest::TypeGet, "h", 80,
        Get.size() + 2 },
    { "ChunkedWithExtensionAndTrailer", Chunked + "3;x=1\r\nabc\r\nA \r\n0123456789\r\n0\r\nT: 1\r\n\r\nrest",
        0, CRequest::TypePost, "h", 80, Chunked.size() + 39 },
    { "ChunkedEmpty", Chunked + "0\r\n\r\n", 0, CRequest::TypePost },
    { "PutWithoutFraming", "PUT http://h/x HTTP/1.1" + End, 411, CRequest::TypeOther },
    { "ChunkedBadSize", Chunked + "x\r\n", 400, CRequest::TypePost },
    { "ChunkedBareLf", Chunked + "3\nabc\r\n0\r\n\r\n", 400, CRequest::TypePost },
    { "ChunkedDataTooLong", Chunked + "1\r\nab\r\n", 400, CRequest::TypePost },
    { "ChunkedHuge", Chunked + "ffffffff\r\n", 413, CRequest::TypePost },
    // Shapes the proxy and a server could read differently are refused.
    { "LengthAndChunked", Post + "Content-Length: 3\r\nTransfer-Encoding: chunked" + End + "0\r\n\r\n", 400,
        CRequest::TypePost },
    { "TwoLengths", Post + "Content-Length: 3\r\nContent-Length: 4" + End + "abcd", 400, CRequest::TypePost },
    { "EqualLengthsAreOne", Post + "Content-Length: 3, 003" + End + "abc", 0, CRequest::TypePost },
    { "LengthWithSign", Post + "Content-Length: +5" + End + "abcde", 400, CRequest::TypePost },
    { "LengthAtLimit", Post + "Content-Length: 100048576" + End, 413, CRequest::TypePost },
    { "LengthBeyond32Bits", Post + "Content-Length: 99999999999" + End, 413, CRequest::TypePost },
    { "ChunkedNotLast", Post + "Transfer-Encoding: chunked, gzip" + End, 400, CRequest::TypePost },
    { "ChunkedInHttp10", "POST http://h/ HTTP/1.0\r\nTransfer-Encoding: chunked" + End + "0\r\n\r\n", 400,
        CRequest::TypePost },
    { "BareLfInHeader", Get + "X: 1\nY: 2" + End, 400 },
    { "BareLfAfterTarget", "GET http://h/a HTTP/1.1\n" + End, 400 },
    { "BareCr", Get + "X: 1\r2" + End, 400 },
    { "NulInHeader", Get + "X: a" + std::string(1, '\0') + End, 400 },
    { "ObsFold", Get + "X: a\r\n b" + End, 400 },
    { "BlankBeforeColon", Post + "Content-Length : 3" + End + "abc", 400, CRequest::TypePost },
    { "TwoHosts", Get + "Host: evil" + End, 400 },
    // The header is bounded, its blank line included, without an off-by-one either way.
    { "HeaderAtItsBound", FullHeader + End, 0 },
    { "HeaderPastItsBound", FullHeader + "y" + End, 431 },
    // A forward proxy reads an absolute target, and its authority strictly.
    { "UserInfoIsNotTheHost", "GET http://a:1@b/ HTTP/1.1" + End, 0, CRequest::TypeGet, "b" },
    { "SchemeInCapitals", "GET HTTP://H:8080/ HTTP/1.1" + End, 0, CRequest::TypeGet, "h", 8080 },
    { "Ipv6Literal", "GET http://[::1]:81/ HTTP/1.1" + End, 0, CRequest::TypeGet, "::1", 81 },
    { "PortWithSign", "GET http://h:+80/ HTTP/1.1" + End, 400 },
    { "PortZero", "GET http://h:0/ HTTP/1.1" + End, 400 },
    { "PortTooLarge", "GET http://h:65536/ HTTP/1.1" + End, 400 },
    { "HttpsTarget", "GET https://h/ HTTP/1.1" + End, 400 },
    { "ConnectWithoutPort", "CONNECT h HTTP/1.1" + End, 400, CRequest::TypeConnect },
};

class RequestTable : public CRequestTest, public ::testing::WithParamInterface<Row>
{
};

TEST_P(RequestTable, VerdictTargetAndRecord)
{
    const Row &row = GetParam();
    CRequest &r = feed({ row.text });
    const bool complete = row.refusal == 0;
    EXPECT_EQ(r.Status(), complete ? CRequest::StatusComplete : CRequest::StatusRefused);
    EXPECT_EQ(r.refusalCode(), row.refusal) << r.refusalReason().toStdString();
    EXPECT_EQ(r.RequestType(), row.type);
    if (complete) {
        ASSERT_TRUE(r.target());
        EXPECT_EQ(r.target()->host, QString::fromLatin1(row.host));
        EXPECT_EQ(r.target()->port, row.port);
        const std::string request = row.text.substr(0, row.requestBytes);
        EXPECT_EQ(r.Request(), QByteArray::fromStdString(request));
        EXPECT_EQ(r.excess(), QByteArray::fromStdString(row.text.substr(request.size())));
        EXPECT_EQ(r.method(), QByteArray::fromStdString(row.text.substr(0, row.text.find(' '))));
    }
    // Only what is forwarded, and a request refused for its missing length, is recorded.
    EXPECT_EQ(QFile::exists(m_record), complete || row.refusal == 411);
    if (complete) {
        EXPECT_EQ(fileBytes(m_record), r.Request());
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestTable, ::testing::ValuesIn(Rows),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

TEST_F(CRequestTest, LaterChunksChangeNothingUntilResetThenStartFromTheExcess)
{
    // Guards against an endless header growing the buffer, against bytes after a refusal
    // completing the request, against a further request rewriting a complete one, and against
    // losing the start of a pipelined request.
    std::vector<std::string> chunks(CRequest::MaxHeaderLength / 1024, std::string(1024, 'x'));
    chunks.front().replace(0, Get.size(), Get);
    chunks.push_back(End);
    feed(chunks);
    EXPECT_EQ(m_request.refusalCode(), 431);
    EXPECT_EQ(m_request.TotalBytes(), CRequest::MaxHeaderLength);
    EXPECT_FALSE(QFile::exists(m_record));

    feed({ Get + "\r\nGETZ http://h/next", End });
    EXPECT_EQ(m_lastStatus, CRequest::StatusComplete);
    EXPECT_EQ(fileBytes(m_record), QByteArray::fromStdString(Get + "\r\n"));
    m_request.setStatus(CRequest::StatusNone);
    EXPECT_EQ(m_request.BufferData(" HTTP/1.0\r\n\r\n"), CRequest::StatusComplete);
    RecordWriter::instance().drain(5000);
    EXPECT_EQ(m_request.RequestType(), CRequest::TypeGetz);
    EXPECT_EQ(m_request.Request(), "GETZ http://h/next HTTP/1.0\r\n\r\n");
}

} // namespace

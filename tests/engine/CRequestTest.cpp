#include "CRequest.h"
#include "RaisedError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

QByteArray bytes(const std::string &s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
            m_lastStatus = m_request.BufferData(bytes(chunk));
        return m_request;
    }

    QTemporaryDir m_dir;
    QString m_record = m_dir.filePath(QStringLiteral("r-Q.txt"));
    CRequest m_request;
    qint16 m_lastStatus = -1;
};

struct Row {
    const char *name;
    std::vector<std::string> chunks;
    qint16 status;
    qint16 type;
    const char *page;
    int refusal;
    qint32 contentLength;
    bool recorded;
};

const std::string End = "\r\n\r\n";
const std::string Post = "POST /f HTTP/1.0\r\n";
const std::string PostLength = Post + "Content-Length: ";
const std::string GetLength = "GET /f HTTP/1.0\r\nContent-Length: ";

std::string allByteValues()
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += char(c);
    return all;
}
const std::string AllBytes = allByteValues();

const Row Rows[] = {
    { "LowerCaseGet", { "get /a HTTP/1.0" + End }, 2, 1, "a", 0, 0, true },
    { "GetzCompletesLikeGet", { "GETZ /x HTTP/1.0" + End }, 2, 4, "x", 0, 0, true },
    { "ConnectPageIsHostAndPort", { "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443" + End }, 2, 3,
        "127.0.0.1:443", 0, 0, true },
    { "QueryDroppedFromAbsoluteTarget", { "GET http://127.0.0.1:8080/a/b.html?x=1 HTTP/1.0" + End }, 2, 1,
        "http://127.0.0.1:8080/a/b.html", 0, 0, true },
    { "HeaderNotEndedKeepsReceiving", { "GET /a HTTP/1.0\r\nHost: h\r\n" }, 1, 1, "a", 0, 0, false },
    { "GetCompleteDespiteDeclaredBody", { GetLength + "5" + End }, 2, 1, "f", 0, 5, true },
    { "PostWaitsForBody", { PostLength + "10" + End }, 1, 2, "f", 0, 10, false },
    { "PostBodyInTwoChunks", { PostLength + "10" + End, "12345", "67890" }, 2, 2, "f", 0, 10, true },
    { "PostBodyWithExcess", { PostLength + "10" + End + "123456789012" }, 2, 2, "f", 0, 10, true },
    { "LengthFoundMidLineAnyCase", { Post + "X-A: CONTENT-length: 3" + End + "abc" }, 2, 2, "f", 0, 3, true },
    { "LengthWithBlanksTabsAndJunk", { Post + "Content-Length:\t1 0\tkg" + End + "0123456789" }, 2, 2, "f", 0,
        10, true },
    { "LengthWithExponent", { PostLength + "+1e1" + End + "0123456789" }, 2, 2, "f", 0, 10, true },
    { "LengthRoundedToNearest", { PostLength + "1.6" + End + "ab" }, 2, 2, "f", 0, 2, true },
    { "GePlusRestIsUnrecognised", { "GE", "T /a HTTP/1.0" + End }, 2, 0, "", 0, 0, true },
    { "PostWithoutLengthIsRecorded", { Post + "Host: h" + End }, 3, 2, "f", 411, 0, true },
    { "PostLettersForLength", { PostLength + "ten" + End }, 3, 2, "f", 411, 0, true },
    { "BlankBeforeColonNotALength", { Post + "Content-Length : 3" + End + "abc" }, 3, 2, "f", 411, 0, true },
    { "TabAfterGet", { "GET\t/a HTTP/1.0" + End }, 3, 0, "", 400, 0, false },
    { "OtherMethod", { "PUT /a HTTP/1.0" + End }, 3, 0, "", 400, 0, false },
    { "NoBlankAfterTarget", { "GET /a" + End }, 3, 1, "a", 400, 0, false },
    { "EmptyTarget", { "GET  HTTP/1.0" + End }, 3, 1, "", 400, 0, false },
    { "MethodWordRunsIntoTarget", { "POSTX/a HTTP/1.0\r\nContent-Length: 1" + End + "x" }, 3, 2, "a", 400, 0,
        false },
    { "NegativeLength", { PostLength + "-1" + End }, 3, 2, "f", 400, 0, false },
    { "LengthAtLimit", { PostLength + "100048576" + End }, 3, 2, "f", 413, 0, false },
    { "LengthJustBelowLimit", { PostLength + "100048575" + End }, 1, 2, "f", 0, 100048575, false },
    { "LengthBeyond32Bits", { PostLength + "99999999999" + End }, 3, 2, "f", 413, 0, false },
    { "LengthHugeExponent", { GetLength + "1e400" + End }, 3, 1, "f", 413, 0, false },
    { "LengthHugeNegative", { GetLength + "-1e400" + End }, 3, 1, "f", 400, 0, false },
    { "NulInHeader", { "GET /a HTTP/1.0\r\nX: a" + std::string(1, '\0') + "b" + End }, 3, 1, "a", 400, 0,
        false },
    { "BareCrInRequestLine", { "GET /a\rX HTTP/1.0" + End }, 3, 1, "a\rX", 400, 0, false },
    // Zero bytes and bare CRs in the body are data, not a malformed header.
    { "EveryByteValueKept",
        { "POST /caf\xe9 HTTP/1.0\r\nContent-Length: 256" + End, AllBytes.substr(0, 100),
            AllBytes.substr(100) },
        2, 2, "caf\xe9", 0, 256, true },
};

class CompletionTable : public CRequestTest, public ::testing::WithParamInterface<Row>
{
};

TEST_P(CompletionTable, StatusTypePageAndRecord)
{
    const Row &row = GetParam();
    CRequest &r = feed(row.chunks);
    EXPECT_EQ(m_lastStatus, row.status);
    EXPECT_EQ(r.Status(), row.status);
    EXPECT_EQ(r.RequestType(), row.type);
    EXPECT_EQ(r.page(), QString::fromLatin1(row.page));
    EXPECT_EQ(r.refusalCode(), row.refusal);
    EXPECT_EQ(r.refusalReason().isEmpty(), row.refusal == 0);
    if (row.refusal != 413 && row.refusal != 400) {
        EXPECT_EQ(r.ContentLength(), row.contentLength);
    }
    EXPECT_EQ(r.TotalBytes(), r.Request().size());
    EXPECT_EQ(QFile::exists(m_record), row.recorded);
    if (row.recorded) {
        std::string all;
        for (const std::string &chunk : row.chunks)
            all += chunk;
        EXPECT_EQ(readFile(m_record), bytes(all)) << "the record holds every byte as it came";
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, CompletionTable, ::testing::ValuesIn(Rows),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// What a split must not change. Until the header has been read, the page is only what the first
// chunk carried; a refused request that is not recorded stops taking bytes wherever the fault was seen.
std::string snapshot(const CRequest &r)
{
    const bool recorded = r.Status() != CRequest::StatusRefused || r.refusalCode() == 411;
    return std::to_string(r.Status()) + " type " + std::to_string(r.RequestType()) + " page "
        + (r.HeaderLength() > 0 ? r.page().toStdString() : "") + " refusal " + std::to_string(r.refusalCode())
        + " length " + std::to_string(r.ContentLength()) + " header " + std::to_string(r.HeaderLength())
        + " bytes " + (recorded ? r.Request().toStdString() : "");
}

// Guards against results that depend on where the network happened to split the request:
// inside "content-length:", its value, CR LF CR LF, a CR and its LF, or the target.
TEST_F(CRequestTest, EverySplitGivesTheOneChunkResult)
{
    const std::string requests[] = {
        "GET http://127.0.0.1:8080/dir/page.html?q=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*" + End,
        "POST /form HTTP/1.0\r\nHost: h\r\nContent-Length: 12" + End + "a=1&b=2&c=33",
        "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443" + End,
        "POST /f HTTP/1.0\r\ncontent-length: 100048576" + End,
        "GET /a HTTP/1.0\r\nX: 1\r2" + End,
        "POST /f HTTP/1.0\r\nContent-Length: -4" + End,
    };
    for (const std::string &text : requests) {
        SCOPED_TRACE(text);
        const std::string whole = snapshot(feed({ text }));
        // The method word must arrive whole for the request to be recognised at all.
        for (size_t i = text.find(' ') + 1; i < text.size(); ++i) {
            for (size_t j = i; j < text.size(); ++j) {
                ASSERT_EQ(snapshot(feed({ text.substr(0, i), text.substr(i, j - i), text.substr(j) })), whole)
                    << "split at " << i << " and " << j;
            }
        }
    }
}

TEST_F(CRequestTest, HeaderBoundedAt64KiB)
{
    const std::string line = "GET /a HTTP/1.0\r\n";
    const std::string filler(CRequest::MaxHeaderLength - line.size() - End.size() - 3, 'x');
    // Ends exactly at the bound.
    feed({ line + "X: " + filler + End });
    EXPECT_EQ(m_request.Status(), CRequest::StatusComplete);
    EXPECT_EQ(m_request.HeaderLength(), CRequest::MaxHeaderLength);

    feed({ line + "X: " + filler + "y" + End });
    EXPECT_EQ(m_request.refusalCode(), 431);

    // Guards against an endless header growing the buffer: refused once the bound is reached.
    std::vector<std::string> chunks(CRequest::MaxHeaderLength / 1024, std::string(1024, 'x'));
    chunks.front().replace(0, line.size(), line);
    feed(chunks);
    EXPECT_EQ(m_lastStatus, CRequest::StatusRefused);
    EXPECT_EQ(m_request.refusalCode(), 431);
    EXPECT_EQ(m_request.BufferData(QByteArray(1024, 'x')), CRequest::StatusRefused);
    EXPECT_EQ(m_request.TotalBytes(), CRequest::MaxHeaderLength);
}

TEST_F(CRequestTest, LaterChunksChangeNothingUntilResetThenStartAfresh)
{
    // Guards against the header end, arriving after a refused chunk, completing the request, and
    // against a further request rewriting a complete one.
    const std::string text = "GET /a HTTP/1.0" + End;
    for (const std::string &first : { std::string("GET /a HTTP/1.0\r\nX: ") + '\0', text }) {
        const qint16 status = feed({ first, End }).Status();
        EXPECT_EQ(m_request.BufferData("GET /b HTTP/1.0\r\n\r\n"), status);
        EXPECT_EQ(m_request.page(), QStringLiteral("a"));
        EXPECT_EQ(readFile(m_record), first == text ? bytes(text) : QByteArray());

        m_request.setStatus(CRequest::StatusNone);
        EXPECT_EQ(m_request.refusalCode(), 0);
        EXPECT_EQ(m_request.BufferData(bytes("getz /next HTTP/1.0" + End)), CRequest::StatusComplete);
        EXPECT_EQ(m_request.RequestType(), CRequest::TypeGetz);
        EXPECT_EQ(m_request.page(), QStringLiteral("next"));
        EXPECT_EQ(m_request.Request(), bytes("getz /next HTTP/1.0" + End));
        EXPECT_EQ(m_request.PacketCount(), 1);
    }
}

TEST_F(CRequestTest, RecordInMissingFolderThrows)
{
    CRequest r;
    r.setRequestFile(QDir(m_dir.path()).filePath(QStringLiteral("missing/r-Q.txt")));
    try {
        r.BufferData("GET /a HTTP/1.0\r\n\r\n");
        FAIL() << "no error raised";
    } catch (const RaisedError &e) {
        EXPECT_EQ(e.Number, 75);
        EXPECT_EQ(e.Source, QStringLiteral("CRequest"));
        EXPECT_EQ(e.Description, QStringLiteral("Path/File access error"));
    }
}

} // namespace

#include "ReplyFraming.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using V = ReplyFraming::Verdict;

struct Row {
    const char *name;
    std::string reply; // what belongs to the reply (up to the first wrong byte)
    V verdict; // after the bytes (and, for close-delimited replies, the server's close)
    std::string beyond = ""; // what the server sends after it
    bool keepAlive = true;
    int status = 200;
    bool head = false;
    bool upgradeAsked = false;
};

const std::string Ok = "HTTP/1.1 200 OK\r\n";
const std::string Chunked = Ok + "Transfer-Encoding: chunked\r\n\r\n";
const std::string Switch = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";

const Row Rows[] = {
    { "Length", Ok + "Content-Length: 3\r\n\r\nabc", V::Complete, "EXTRA" },
    { "LengthZero", Ok + "Content-Length: 0\r\n\r\n", V::Complete },
    { "HeadIgnoresLength", Ok + "Content-Length: 99\r\n\r\n", V::Complete, "", true, 200, true },
    { "NotModified", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", V::Complete, "", true, 304 },
    { "InterimThenFinal",
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" + Ok
            + "Content-Length: 2\r\n\r\nok",
        V::Complete },
    { "Http10KeepAlive", "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx",
        V::Complete },
    { "ServerSaysClose", Ok + "Connection: close\r\nContent-Length: 1\r\n\r\nx", V::Complete, "", false },
    { "BareLfLines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", V::Complete },
    { "Headerless", "<html>old server</html>", V::Complete, "", false, 0 },
    { "SwitchingProtocols", Switch, V::Complete, "\x81\x01x", false, 101, false, true },
    { "SwitchingUnasked", Switch, V::Invalid, "\x81\x01x", false, 101 },
    { "OtherCodingUntilClose", Ok + "Transfer-Encoding: gzip\r\n\r\nzzz", V::Complete, "", false },
    { "CutInBody", Ok + "Content-Length: 10\r\n\r\nabc", V::Invalid, "", false },
    { "CutInHeader", Ok + "Content-Len", V::Invalid, "", false, 0 },
    { "BadChunkSize", Chunked + "3\r\nabc\r\n", V::Invalid, "z\r\n", false },
    { "ChunkSizePast64Bits", Chunked + "1000000000000000", V::Invalid, "5\r\nabcde\r\n0\r\n\r\n", false },
    { "HeaderPastItsBound", Ok + std::string(ReplyFraming::MaxHeaderLength - Ok.size(), 'x'), V::Invalid,
        "x\r\n\r\n", false, 0 },
    { "LengthAndChunked", Ok + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", V::Invalid,
        "0\r\n\r\n", false },
    { "BadStatusLine", "HTTP/1.1 2OO OK\r\n\r\n", V::Invalid, "", false, 0 },
    { "FoldedFieldLine", Ok + "X-A: 1\r\n Content-Length: 3\r\n\r\n", V::Invalid, "abc", false },
};

class FramingTable : public ::testing::TestWithParam<Row>
{
};

// Guards against replies that never end or end early, framing values that overflow or never
// stop, and verdicts that depend on how the reply was split into reads.
TEST_P(FramingTable, EndsWhereItsFramingSays)
{
    const Row &row = GetParam();
    const std::string sent = row.reply + row.beyond;
    for (const size_t step : { sent.size(), size_t(1), size_t(7) }) {
        SCOPED_TRACE(step);
        ReplyFraming framing;
        framing.start(row.head, row.upgradeAsked);
        size_t consumed = 0;
        V verdict = V::More;
        for (size_t at = 0; at < sent.size() && verdict == V::More; at += step) {
            const std::string piece = sent.substr(at, step);
            qsizetype used = 0;
            verdict = framing.feed(QByteArrayView(piece.data(), qsizetype(piece.size())), used);
            consumed += size_t(used);
        }
        if (verdict == V::More)
            verdict = framing.closed();
        EXPECT_EQ(verdict, row.verdict) << framing.error().toStdString();
        EXPECT_EQ(consumed, row.reply.size());
        EXPECT_EQ(framing.keepAlive(), row.keepAlive && row.verdict == V::Complete);
        EXPECT_EQ(framing.status(), row.status);
        EXPECT_EQ(framing.error().isEmpty(), row.verdict != V::Invalid);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, FramingTable, ::testing::ValuesIn(Rows),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace

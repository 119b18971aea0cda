#include "MessageHead.h"

#include <gtest/gtest.h>

namespace {

using R = MessageHead::Reading;

struct Row {
    const char *name;
    R reading;
    QByteArray bytes;
    const char *fields; // name=value@offset+length of each field line, as read
    qsizetype size;
    const char *refusal = "";
};

const QByteArray Get = "GET / HTTP/1.1\r\n";

// Guards against fields read past a fault, values trimmed of more (or less) than their reading
// allows, lines that shift the positions forwarding copies from, and records losing what they hold.
const Row Rows[] = {
    { "StrictFieldsUpToTheBlankLine", R::Strict, Get + "Host: h\r\nX-A:\t a b \t\r\nE:\r\n\r\nbody",
        "Host=h@16+7|X-A=a b@25+11|E=@38+2", 44 },
    { "StrictKeepsOtherWhiteSpace", R::Strict, Get + "C:\v1 \r\n\r\n", "C=\v1@16+5", 25 },
    { "ObsFold", R::Strict, Get + "X: a\r\n b\r\n\r\n", "X=a@16+4", -1,
        "Obsolete line folding in request header" },
    { "BlankBeforeColon", R::Strict, Get + "X: a\r\nContent-Length : 3\r\n\r\n", "X=a@16+4", -1,
        "Blank before colon in header field" },
    { "BadNameChar", R::Strict, Get + "X@Y: 1\r\n\r\n", "", -1, "Malformed header field name" },
    { "NoName", R::Strict, Get + ": 1\r\n\r\n", "", -1, "Malformed header field" },
    { "NoColon", R::Strict, Get + "X\r\n\r\n", "", -1, "Malformed header field" },
    { "StrictUnended", R::Strict, Get + "X: 1\r\n", "X=1@16+4", -1 },
    { "LenientSkipsWhatIsNoField", R::Lenient,
        "HTTP/1.1 200 OK\nA: 1\r\nno colon\n: x\n B : \v2 \r\r\n\nbody", "A=1@16+4|B =\v2@35+9", 47 },
    { "LenientCutShort", R::Lenient, "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2", "A=1@17+4|B=2@23+4", -1 },
    { "LenientOnlyAStartLine", R::Lenient, "HTTP/1.1 200 OK", "", -1 },
};

class HeadTable : public ::testing::TestWithParam<Row>
{
};

TEST_P(HeadTable, FieldsSizeAndRefusal)
{
    const Row &row = GetParam();
    const MessageHead head = MessageHead::read(row.bytes, row.reading);
    QByteArrayList fields;
    for (const MessageHead::Field &f : head.fields()) {
        fields += f.name.toByteArray() + '=' + f.value.toByteArray() + '@'
            + QByteArray::number(f.line.data() - row.bytes.data()) + '+' + QByteArray::number(f.line.size());
    }
    EXPECT_EQ(fields.join('|').toStdString(), row.fields);
    EXPECT_EQ(head.startLine(), row.reading == R::Strict ? "GET / HTTP/1.1" : "HTTP/1.1 200 OK");
    EXPECT_EQ(head.size(), row.size);
    EXPECT_EQ(head.refusal(), QString::fromLatin1(row.refusal));
}

INSTANTIATE_TEST_SUITE_P(Heads, HeadTable, ::testing::ValuesIn(Rows),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// Guards against a Connection option or a length lost across repeated fields, a name matched in
// one letter case only, and empty list elements that hide a malformed length.
TEST(MessageHead, NamesMatchInAnyCaseAndListsSpanRepeatedFields)
{
    const QByteArray bytes = Get
        + "Connection: Keep-Alive, , X-A\r\nTE: x\r\nconnection:close\r\nContent-Length: 3,\t, 03\r\n\r\n";
    const MessageHead head = MessageHead::read(bytes, R::Strict);
    EXPECT_EQ(head.list("CONNECTION"), QByteArrayList({ "keep-alive", "x-a", "close" }));
    EXPECT_EQ(head.count("connection"), 2);
    EXPECT_EQ(head.value("connection"), "Keep-Alive, , X-A");
    EXPECT_TRUE(head.value("Connectio").isNull());
    EXPECT_FALSE(head.contains("T"));
    EXPECT_EQ(
        head.elements(head.value("content-length")), (QVarLengthArray<QByteArrayView, 8> { "3", "", "03" }));
}

} // namespace

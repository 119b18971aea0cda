#include "RecordView.h"
#include "BodyDecoder.h"
#include "Compressed.h"
#include "RecordMessage.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

QByteArray chunked(const QByteArray &body)
{
    const qsizetype half = body.size() / 2;
    return QByteArray::number(half, 16) + "\r\n" + body.left(half) + "\r\n"
        + QByteArray::number(body.size() - half, 16) + ";ext=1\r\n" + body.mid(half) + "\r\n0\r\n\r\n";
}

const QByteArray Ok = "HTTP/1.1 200 OK\r\n";

} // namespace

TEST(RecordView, RawKeepsEveryCharacterHexShowsEveryByteAndDecodedUndoesCodingsOrSaysWhyItCannot)
{
    const QByteArray json = "{\"b\":1,\"a\":[true,null],\"e\":{}}";
    const QByteArray brJson("\x0b\x0b\x80{\"b\":1,\"a\":[true,null]}\x03", 27);
    const QByteArray pretty = "{\n  \"b\": 1,\n  \"a\": [\n    true,\n    null\n  ]";
    const QByteArray gzip = "Content-Encoding: gzip\r\n", te = "Transfer-Encoding: chunked\r\n";
    const QByteArray gzipCut = deflated(QByteArray(5000, 'x')).chopped(4);
    // Whole: the shown text is the header and shownBody (UTF-8); Prefix: it starts so; Fallback: the
    // first line says why the body cannot be decoded, and the raw record follows.
    enum Expect { Whole, Prefix, Fallback };
    constexpr auto Decoded = RecordView::Mode::Decoded, Raw = RecordView::Mode::Raw;
    const struct {
        const char *name;
        QByteArray header, body, shownBody;
        Expect expect = Whole;
        RecordView::Mode mode = Decoded;
    } rows[] = { { "chunked gzip", gzip + te, chunked(deflated("hello gzip")), "hello gzip" },
        { "Brotli JSON keeps member order", "Content-Type: application/json\r\nContent-Encoding: br\r\n",
            brJson, pretty + "\n}" },
        { "two codings, last applied first", "Content-Encoding: gzip, zstd\r\n",
            zstdCompressed(deflated("both")), "both" },
        { "deflate sent raw instead of zlib", "Content-Encoding: deflate\r\n", deflated("raw", -15), "raw" },
        { "JSON without codings, empty object kept", "", json, pretty + ",\n  \"e\": {}\n}" },
        { "Latin-1 text", "Content-Type: text/plain; charset=iso-8859-1\r\n", "caf\xe9", "café" },
        { "binary as hex", "", QByteArray::fromHex("000102414243"), "00000000  00 01 02 41 42 43", Prefix },
        { "raw UTF-8", "", "caf\xc3\xa9", "café", Whole, Raw },
        // Guards against Latin-1 text and binary turning into replacement marks.
        { "raw Latin-1", "", "caf\xe9", "café", Whole, Raw },
        { "raw zero bytes marked", "", QByteArray("a\0b", 3), "a\u2400b", Whole, Raw },
        { "raw UTF-8 cut in its last character", "", "caf\xc3\xa9\xc3", "caf\u00e9\u00c3", Whole, Raw },
        { "corrupt gzip", gzip, "not gzip", "(gzip): the compressed data is corrupt", Fallback },
        { "gzip cut short", gzip, gzipCut, "(gzip): the compressed data ends early", Fallback },
        { "bad chunk size", te, "zz\r\nab\r\n0\r\n\r\n", "(chunked): a chunk size", Fallback },
        { "unknown coding", "Content-Encoding: compress\r\n", "x", "(compress): the content", Fallback } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray header = Ok + row.header + "\r\n";
        const RecordView::Shown shown = RecordView::show(header + row.body, row.mode);
        const QString expected
            = (row.expect == Fallback ? QStringLiteral("Cannot decode the body ") : RecordView::text(header))
            + QString::fromUtf8(row.shownBody);
        EXPECT_EQ(row.expect == Whole ? shown.text : shown.text.left(expected.size()), expected);
        EXPECT_TRUE(row.expect != Fallback
            || shown.text.section(QLatin1Char('\n'), 1) == RecordView::text(header + row.body));
    }
    EXPECT_EQ(RecordView::show(QByteArray("HTTP/1.1 200 OK\r\n\x00\xff", 19), RecordView::Mode::Hex).text,
        QStringLiteral("00000000  48 54 54 50 2f 31 2e 31  20 32 30 30 20 4f 4b 0d  HTTP/1.1 200 OK.\n"
                       "00000010  0a 00 ff                                          ...\n"));
    // A record read only in part may end inside its body: that is a cut, not a fault.
    EXPECT_TRUE(RecordView::show(Ok + gzip + "\r\n" + gzipCut, Decoded, true)
                    .text.contains(QStringLiteral("xxxx\n[Decoding stopped")));
}

TEST(RecordView, DecompressionBombStopsAtTheOutputLimit)
{
    // Guards against a small record that inflates to a gibibyte taking all memory or minutes.
    const QByteArray zeros(1 << 20, '\0');
    z_stream stream {};
    deflateInit2(&stream, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    // After a full flush the next block refers to nothing before it, so one block of a mebibyte
    // of zeros, repeated, is a valid stream of any length.
    QByteArray block(1 << 16, '\0');
    QByteArray bomb;
    for (const int times : { 1, 1023 }) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
        stream.avail_in = static_cast<uInt>(zeros.size());
        stream.next_out = reinterpret_cast<Bytef *>(block.data());
        stream.avail_out = static_cast<uInt>(block.size());
        deflate(&stream, Z_FULL_FLUSH);
        bomb += block.left(block.size() - stream.avail_out).repeated(times);
    }
    deflateEnd(&stream);

    QElapsedTimer timer;
    timer.start();
    const QByteArray record = Ok + "Content-Encoding: gzip\r\n\r\n" + bomb;
    const BodyDecoder::Result result = BodyDecoder::decode(RecordMessage::parse(record));
    EXPECT_TRUE(result.cut && result.problem.isEmpty()) << qPrintable(result.problem);
    EXPECT_EQ(result.body.size(), BodyDecoder::OutputLimit);
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_TRUE(RecordView::show(record, RecordView::Mode::Decoded)
                    .text.endsWith(QStringLiteral("\n[Decoding stopped at 16 MiB of output]")));
}

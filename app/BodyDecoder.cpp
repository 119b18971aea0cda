#include "BodyDecoder.h"

#include "RecordMessage.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>

namespace {
constexpr qsizetype OutputStep = 64 * 1024;

using Result = BodyDecoder::Result;

Result failure(const QString &why)
{
    Result result;
    result.problem = why;
    return result;
}

// Room for the next step of output, never past the limit; false once the limit is reached.
bool grow(Result &result, qsizetype limit, qsizetype *room)
{
    *room = qMin(OutputStep, limit - result.body.size());
    if (*room <= 0) {
        result.cut = true;
        return false;
    }
    return true;
}

Result inflateBody(const QByteArray &body, int windowBits, qsizetype limit)
{
    z_stream stream {};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return failure(QStringLiteral("zlib cannot start"));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.constData()));
    stream.avail_in = static_cast<uInt>(body.size());
    Result result;
    int status = Z_OK;
    qsizetype room = 0;
    while (status != Z_STREAM_END && grow(result, limit, &room)) {
        const qsizetype before = result.body.size();
        result.body.resize(before + room);
        stream.next_out = reinterpret_cast<Bytef *>(result.body.data() + before);
        stream.avail_out = static_cast<uInt>(room);
        status = inflate(&stream, Z_NO_FLUSH);
        result.body.resize(before + room - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) {
            result.problem = QStringLiteral("the compressed data ends early");
            break;
        }
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            result.problem = QStringLiteral("the compressed data is corrupt (%1)")
                                 .arg(QString::fromLatin1(stream.msg ? stream.msg : "zlib error"));
            break;
        }
    }
    inflateEnd(&stream);
    return result;
}

Result brotliBody(const QByteArray &body, qsizetype limit)
{
    BrotliDecoderState *state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (!state)
        return failure(QStringLiteral("Brotli cannot start"));
    size_t availIn = static_cast<size_t>(body.size());
    auto nextIn = reinterpret_cast<const uint8_t *>(body.constData());
    Result result;
    BrotliDecoderResult status = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
    qsizetype room = 0;
    while (status == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT && grow(result, limit, &room)) {
        const qsizetype before = result.body.size();
        result.body.resize(before + room);
        size_t availOut = static_cast<size_t>(room);
        auto nextOut = reinterpret_cast<uint8_t *>(result.body.data() + before);
        status = BrotliDecoderDecompressStream(state, &availIn, &nextIn, &availOut, &nextOut, nullptr);
        result.body.resize(before + room - static_cast<qsizetype>(availOut));
    }
    if (status == BROTLI_DECODER_RESULT_ERROR)
        result.problem
            = QStringLiteral("the Brotli data is corrupt (%1)")
                  .arg(QString::fromLatin1(BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state))));
    else if (status == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
        result.problem = QStringLiteral("the compressed data ends early");
    BrotliDecoderDestroyInstance(state);
    return result;
}

Result zstdBody(const QByteArray &body, qsizetype limit)
{
    ZSTD_DStream *stream = ZSTD_createDStream();
    if (!stream)
        return failure(QStringLiteral("zstd cannot start"));
    ZSTD_inBuffer in { body.constData(), static_cast<size_t>(body.size()), 0 };
    Result result;
    size_t hint = 1;
    qsizetype room = 0;
    // Output may still be held inside the decoder after the input is used up.
    bool flushing = true;
    while ((in.pos < in.size || flushing) && grow(result, limit, &room)) {
        const qsizetype before = result.body.size();
        result.body.resize(before + room);
        ZSTD_outBuffer out { result.body.data() + before, static_cast<size_t>(room), 0 };
        hint = ZSTD_decompressStream(stream, &out, &in);
        result.body.resize(before + static_cast<qsizetype>(out.pos));
        if (ZSTD_isError(hint)) {
            result.problem = QStringLiteral("the zstd data is corrupt (%1)")
                                 .arg(QString::fromLatin1(ZSTD_getErrorName(hint)));
            break;
        }
        flushing = out.pos == out.size;
    }
    if (result.problem.isEmpty() && !result.cut && hint != 0)
        result.problem = QStringLiteral("the compressed data ends early");
    ZSTD_freeDStream(stream);
    return result;
}

bool endsEarly(const Result &result)
{
    return result.problem.contains(QLatin1String("ends early"))
        || result.problem.contains(QLatin1String("ends inside"));
}
} // namespace

Result BodyDecoder::dechunk(const QByteArray &body, qsizetype limit)
{
    Result result;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype lineEnd = body.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return result.problem = QStringLiteral("the chunked body ends inside a chunk"), result;
        QByteArray sizeText = body.mid(pos, lineEnd - pos);
        const qsizetype extension = sizeText.indexOf(';');
        if (extension >= 0)
            sizeText.truncate(extension);
        bool ok = false;
        const qlonglong size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return result.problem = QStringLiteral("a chunk size is not a hexadecimal number"), result;
        if (size == 0)
            return result;
        pos = lineEnd + 2;
        const qsizetype take = static_cast<qsizetype>(qMin<qlonglong>(size, body.size() - pos));
        const qsizetype fits = qMin(take, limit - result.body.size());
        result.body.append(body.constData() + pos, fits);
        if (fits < take) {
            result.cut = true;
            return result;
        }
        if (take < size || body.mid(pos + size, 2) != "\r\n")
            return result.problem = QStringLiteral("the chunked body ends inside a chunk"), result;
        pos += size + 2;
    }
}

Result BodyDecoder::undo(const QByteArray &coding, const QByteArray &body, qsizetype limit)
{
    const QByteArray name = coding.trimmed().toLower();
    if (name.isEmpty() || name == "identity") {
        Result result;
        result.body = body.left(limit);
        result.cut = body.size() > limit;
        return result;
    }
    if (name == "gzip" || name == "x-gzip")
        return inflateBody(body, 16 + MAX_WBITS, limit);
    if (name == "deflate") {
        // Some servers send raw deflate data where a zlib stream is due.
        Result result = inflateBody(body, MAX_WBITS, limit);
        if (!result.problem.isEmpty() && result.body.isEmpty())
            result = inflateBody(body, -MAX_WBITS, limit);
        return result;
    }
    if (name == "br")
        return brotliBody(body, limit);
    if (name == "zstd")
        return zstdBody(body, limit);
    return failure(QStringLiteral("the content coding \"%1\" is not known").arg(QString::fromLatin1(name)));
}

Result BodyDecoder::decode(const RecordMessage &message, bool inputCut, qsizetype limit)
{
    // Transfer codings were applied after the content codings, so they come off first.
    QList<QByteArray> codings = message.header("Content-Encoding").split(',');
    const qsizetype contentCodings = codings.size();
    codings += message.header("Transfer-Encoding").split(',');
    Result result;
    result.body = message.body;
    qsizetype codedSize = -1;
    for (qsizetype i = codings.size() - 1; i >= 0; --i) {
        if (i < contentCodings && codedSize < 0)
            codedSize = result.body.size();
        const QByteArray name = codings[i].trimmed().toLower();
        if (name.isEmpty() || name == "identity")
            continue;
        const bool cutBefore = result.cut;
        Result step = name == "chunked" ? dechunk(result.body, limit) : undo(name, result.body, limit);
        step.cut = step.cut || cutBefore;
        if (!step.problem.isEmpty() && (inputCut || cutBefore) && endsEarly(step)) {
            step.problem.clear();
            step.cut = true;
        }
        if (!step.problem.isEmpty()) {
            step.problem = QStringLiteral("Cannot decode the body (%1): %2.")
                               .arg(QString::fromLatin1(name), step.problem);
            return step;
        }
        result = step;
    }
    result.codedSize = codedSize;
    if (result.body.size() > limit) {
        result.body.truncate(limit);
        result.cut = true;
    }
    return result;
}

// Fuzz target for the request parser. The first input byte chooses how the rest is cut into
// chunks; the rest is what a browser sends. The parser is fed the bytes once whole and once in
// chunks; the results must agree, and the rules below hold for any input.
#include "CRequest.h"
#include "RaisedError.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Feeds the payload in chunks of `first`, then `step` bytes; false when the record failed.
bool feed(
    CRequest &request, const QByteArray &payload, qsizetype first, qsizetype step, const QString &recordFile)
{
    request.setRequestFile(recordFile);
    try {
        for (qsizetype at = 0; at < payload.size(); at += at == 0 ? first : step)
            request.BufferData(payload.mid(at, at == 0 ? first : step));
    } catch (const RaisedError &) {
        return false;
    }
    return true;
}

// Rules that hold for any input; the request table checks the exact verdicts of known ones.
std::string checkOne(const CRequest &r, const QByteArray &payload)
{
    if (r.TotalBytes() != r.Request().size() || !payload.startsWith(r.Request()))
        return "buffer is not a prefix of the input";
    if (r.HeaderLength() > CRequest::MaxHeaderLength)
        return "header longer than the bound accepted";
    if (r.HeaderLength() == 0 && r.Status() == CRequest::StatusReceiving
        && r.TotalBytes() >= CRequest::MaxHeaderLength)
        return "unended header kept growing";
    if (r.Status() == CRequest::StatusComplete && !payload.startsWith(r.Request() + r.excess()))
        return "request and excess are not the input";
    return {};
}

} // namespace

// Returns a description of the first broken rule, or an empty string.
std::string checkRequestInput(const uint8_t *data, size_t size, const QString &recordFile)
{
    if (size == 0)
        return {};
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    // The first chunk may cut the method word anywhere.
    const qsizetype first = 1 + (data[0] & 0x0f) * 4;
    const qsizetype step = 1 + (data[0] >> 4) * 3;

    CRequest a, b;
    if (!feed(a, payload, payload.size(), payload.size(), recordFile)
        || !feed(b, payload, first, step, recordFile))
        return "record file could not be written";
    for (const CRequest *r : { &a, &b }) {
        const std::string fault = checkOne(*r, payload);
        if (!fault.empty())
            return fault;
    }
    if (a.Status() != b.Status() || a.RequestType() != b.RequestType() || a.refusalCode() != b.refusalCode()
        || a.ContentLength() != b.ContentLength() || a.HeaderLength() != b.HeaderLength())
        return "chunked result differs from the whole one";
    if (a.HeaderLength() > 0 && a.page() != b.page())
        return "chunked page differs from the whole one";
    if (a.Status() == CRequest::StatusComplete && a.Request() != b.Request())
        return "chunked request differs from the whole one";
    return {};
}

#ifndef TARNWICK_CORPUS_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string fault = checkRequestInput(data, size, QStringLiteral("/dev/null"));
    if (!fault.empty()) {
        std::fprintf(stderr, "request parser: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
#endif

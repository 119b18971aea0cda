// Fuzz target for the ClientHello reader: the input is what a browser sends first through a
// tunnel, read whole and as each of its beginnings, as it may arrive.
#include "TlsClientHello.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

std::string checkClientHelloInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    const TlsClientHello whole = TlsClientHello::read(input);
    if (whole.kind == TlsClientHello::Kind::Tls && (size < 5 || size < 5 + (size_t(data[3]) << 8 | data[4])))
        return "a record taken as complete before all of it came";
    // The proxy acts on the first answer: more bytes must not change it.
    for (qsizetype cut = 0; cut < input.size(); ++cut) {
        const TlsClientHello part = TlsClientHello::read(input.first(cut));
        if (part.kind != TlsClientHello::Kind::NeedMore
            && (part.kind != whole.kind || part.serverName != whole.serverName))
            return "an answer changed when more bytes came";
    }
    return {};
}

#ifndef TARNWICK_CORPUS_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string fault = checkClientHelloInput(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "ClientHello reader: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
#endif

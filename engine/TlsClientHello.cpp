#include "TlsClientHello.h"

namespace {

// Reads big-endian fields and length-prefixed blocks, failing once anything runs past the end.
class Reader
{
public:
    explicit Reader(QByteArrayView bytes)
        : m_bytes(bytes)
    { }
    bool ok() const { return m_ok; }
    quint32 number(int width)
    {
        quint32 value = 0;
        for (int i = 0; i < width; ++i)
            value = value << 8 | byte();
        return value;
    }
    QByteArrayView block(int lengthWidth)
    {
        const quint32 length = number(lengthWidth);
        if (!m_ok || length > quint32(m_bytes.size() - m_at))
            return fail();
        const QByteArrayView out = m_bytes.sliced(m_at, length);
        m_at += length;
        return out;
    }
    void skip(qsizetype n)
    {
        if (n > m_bytes.size() - m_at)
            fail();
        else
            m_at += n;
    }
    bool atEnd() const { return m_at >= m_bytes.size(); }

private:
    quint8 byte()
    {
        if (m_at >= m_bytes.size()) {
            fail();
            return 0;
        }
        return static_cast<quint8>(m_bytes[m_at++]);
    }
    QByteArrayView fail()
    {
        m_ok = false;
        m_at = m_bytes.size();
        return {};
    }

    QByteArrayView m_bytes;
    qsizetype m_at = 0;
    bool m_ok = true;
};

} // namespace

TlsClientHello TlsClientHello::read(QByteArrayView bytes)
{
    TlsClientHello out;
    constexpr qsizetype RecordHeader = 5;
    if (bytes.isEmpty())
        return out;
    // A handshake record of TLS 1.0 or later, whose record version byte pair starts with 3.
    if (static_cast<quint8>(bytes[0]) != 0x16 || (bytes.size() > 1 && bytes[1] != 0x03)) {
        out.kind = Kind::NotTls;
        return out;
    }
    if (bytes.size() < RecordHeader)
        return out;
    const qsizetype length = (static_cast<quint8>(bytes[3]) << 8) | static_cast<quint8>(bytes[4]);
    if (length == 0 || length > 16384 + 2048) {
        out.kind = Kind::NotTls;
        return out;
    }
    if (bytes.size() < RecordHeader + length)
        return out;
    out.kind = Kind::Tls;

    Reader record(bytes.sliced(RecordHeader, length));
    if (record.number(1) != 1) // ClientHello
        return out;
    Reader hello(record.block(3));
    hello.skip(2 + 32); // legacy version, random
    hello.block(1); // session id
    hello.block(2); // cipher suites
    hello.block(1); // compression methods
    if (!hello.ok() || hello.atEnd())
        return out;
    Reader extensions(hello.block(2));
    while (extensions.ok() && !extensions.atEnd()) {
        const quint32 type = extensions.number(2);
        const QByteArrayView data = extensions.block(2);
        if (type != 0) // server_name
            continue;
        Reader names(Reader(data).block(2));
        while (names.ok() && !names.atEnd()) {
            const quint32 nameType = names.number(1);
            const QByteArrayView name = names.block(2);
            if (names.ok() && nameType == 0) { // host_name
                out.serverName = QString::fromLatin1(name).toLower();
                return out;
            }
        }
    }
    return out;
}

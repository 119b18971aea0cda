#include "ChunkedBody.h"

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

ChunkedBody::ChunkedBody(qint64 maxDecodedBytes)
    : m_max(maxDecodedBytes)
{ }

ChunkedBody::Verdict ChunkedBody::verdict() const
{
    return m_verdict;
}

ChunkedBody::Verdict ChunkedBody::feed(QByteArrayView bytes, qsizetype &used, QByteArray *data)
{
    used = 0;
    // The byte that makes the body malformed or too large is not counted as part of it.
    const auto stop = [&](Verdict v) {
        used -= v == Verdict::Complete ? 0 : 1;
        return m_verdict = v;
    };
    while (m_verdict == Verdict::More && used < bytes.size()) {
        if (m_step == Step::Data) {
            const qint64 take = qMin<qint64>(m_size, bytes.size() - used);
            if (data)
                data->append(bytes.sliced(used, take));
            used += take;
            m_size -= take;
            if (m_size == 0)
                m_step = Step::DataCr;
            continue;
        }
        const char c = bytes[used++];
        switch (m_step) {
        case Step::Size:
            if (const int digit = hexValue(c); digit >= 0) {
                // Checked before it is computed: sixteen hex digits already overflow 64 bits.
                const qint64 room = m_max - m_decoded - 1 - digit;
                if (room < 0 || m_size > room / 16)
                    return stop(Verdict::TooLarge);
                m_size = m_size * 16 + digit;
                ++m_digits;
            } else if (m_digits == 0) {
                return stop(Verdict::Malformed);
            } else if (c == ';') {
                m_step = Step::Extension;
            } else if (isBlank(c)) {
                m_step = Step::SizeBlank;
            } else if (c == '\r') {
                m_step = Step::SizeLf;
            } else {
                return stop(Verdict::Malformed);
            }
            break;
        case Step::SizeBlank:
            if (c == ';')
                m_step = Step::Extension;
            else if (c == '\r')
                m_step = Step::SizeLf;
            else if (!isBlank(c))
                return stop(Verdict::Malformed);
            break;
        case Step::Extension:
            if (c == '\r')
                m_step = Step::SizeLf;
            else if (c == '\n' || c == '\0')
                return stop(Verdict::Malformed);
            break;
        case Step::SizeLf:
            if (c != '\n')
                return stop(Verdict::Malformed);
            m_decoded += m_size;
            m_step = m_size == 0 ? Step::TrailerStart : Step::Data;
            break;
        case Step::DataCr:
            if (c != '\r')
                return stop(Verdict::Malformed);
            m_step = Step::DataLf;
            break;
        case Step::DataLf:
            if (c != '\n')
                return stop(Verdict::Malformed);
            m_step = Step::Size;
            m_size = 0;
            m_digits = 0;
            break;
        case Step::TrailerStart:
            if (c == '\r')
                m_step = Step::EndLf;
            else if (c == '\n' || c == '\0' || isBlank(c))
                return stop(Verdict::Malformed);
            else
                m_step = Step::Trailer;
            break;
        case Step::Trailer:
            if (c == '\r')
                m_step = Step::TrailerLf;
            else if (c == '\n' || c == '\0')
                return stop(Verdict::Malformed);
            break;
        case Step::TrailerLf:
            if (c != '\n')
                return stop(Verdict::Malformed);
            m_step = Step::TrailerStart;
            break;
        case Step::EndLf:
            if (c != '\n')
                return stop(Verdict::Malformed);
            return stop(Verdict::Complete);
        case Step::Data:
            break;
        }
    }
    return m_verdict;
}

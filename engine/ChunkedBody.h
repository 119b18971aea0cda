#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Follows a body in chunked transfer coding (RFC 9112 section 7.1) as its bytes arrive, strictly:
// CR LF line ends only, hex sizes bounded by a limit, extensions and trailer fields skipped but
// checked for bare CR, bare LF and NUL. Every byte is looked at once, so the verdict does not
// depend on how the body was split into reads. The bytes themselves are left untouched.
class ChunkedBody
{
public:
    enum class Verdict { More, Complete, Malformed, TooLarge };

    explicit ChunkedBody(qint64 maxDecodedBytes);

    // Takes the next bytes of the body; `used` tells how many of them belong to it (all of them,
    // unless the body ended or went wrong inside them; a wrong byte does not belong). When data
    // is given, the chunks' data bytes are appended to it: the body without its framing.
    Verdict feed(QByteArrayView bytes, qsizetype &used, QByteArray *data = nullptr);
    Verdict verdict() const;

private:
    enum class Step {
        Size,
        SizeBlank,
        Extension,
        SizeLf,
        Data,
        DataCr,
        DataLf,
        TrailerStart,
        Trailer,
        TrailerLf,
        EndLf
    };

    qint64 m_max;
    Step m_step = Step::Size;
    Verdict m_verdict = Verdict::More;
    qint64 m_size = 0;
    int m_digits = 0;
    qint64 m_decoded = 0;
};

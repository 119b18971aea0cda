#pragma once

#include <QByteArray>
#include <QString>

struct RecordMessage;

// Undoes what HTTP did to a body on the way: chunked framing and the content codings gzip,
// deflate, br and zstd. Output is bounded, so a small record that expands without end (a
// decompression bomb) costs at most the limit in memory and the time to produce it.
class BodyDecoder
{
public:
    static constexpr qsizetype OutputLimit = 16 * 1024 * 1024;

    struct Result {
        QByteArray body;
        // Why the body could not be decoded, in one line; empty on success.
        QString problem;
        // Output stopped at the limit; body holds its first part.
        bool cut = false;
        // The body's size with its transfer framing removed but its content codings still on.
        qsizetype codedSize = 0;
    };

    // The body of message with its transfer framing removed and every Content-Encoding undone,
    // last applied first. inputCut says the record was read only in part, so a body ending early
    // is expected and not a fault.
    static Result decode(const RecordMessage &message, bool inputCut = false, qsizetype limit = OutputLimit);
    static Result dechunk(const QByteArray &body, qsizetype limit = OutputLimit);
    // One content coding, named as in Content-Encoding.
    static Result undo(const QByteArray &coding, const QByteArray &body, qsizetype limit = OutputLimit);
};

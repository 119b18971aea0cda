#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// What the text pane shows for a record: the bytes as text (Raw), the message with its body
// decoded (Decoded) or a hex dump (Hex).
class RecordView
{
public:
    enum class Mode { Raw, Decoded, Hex };

    // Raw and hex views show at most this much of a record.
    static constexpr qint64 ShowLimit = 4 * 1024 * 1024;
    // Where the screen shows a zero byte of a record.
    static constexpr char16_t ZeroByteMark = u'\u2400';

    struct Shown {
        QString text;
        // Set when the decoded body is a picture; text then holds the start line and header.
        QImage image;
    };

    // bytes are the record's first bytes; inputCut says the record goes on beyond them.
    static Shown show(const QByteArray &bytes, Mode mode, bool inputCut = false);

    // Valid UTF-8 as UTF-8, anything else as Latin-1, so that every byte stays one character.
    static QString text(const QByteArray &bytes);
    // Offset, 16 bytes in hex, the same bytes as characters.
    static QString hex(const QByteArray &bytes);
    // The JSON text re-indented, members in their order; empty when it is not JSON.
    static QString prettyJson(const QByteArray &json);
    // No control characters besides the usual white space and escape.
    static bool looksLikeText(const QByteArray &bytes);
};

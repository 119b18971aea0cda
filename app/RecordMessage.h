#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// A request or reply record split into its start line, header fields and body. The body keeps its
// transfer framing; BodyDecoder removes it.
struct RecordMessage {
    QByteArray startLine;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Bytes from the start up to and including the blank line; -1 when the header never ended.
    qsizetype headerSize = -1;

    static RecordMessage parse(const QByteArray &bytes);

    // The value of the first field of that name (any letter case), or a null array.
    QByteArray header(const char *name) const;
    bool hasHeader(const char *name) const;
    // Start line words: "GET", "http://a/b", "HTTP/1.1" or "HTTP/1.1", "200", "OK".
    QByteArray word(int index) const;
    // The rest of the start line from word index on (a reason phrase may hold spaces).
    QByteArray wordsFrom(int index) const;

    // Field bytes as text: UTF-8 when they are that, as browsers send it; otherwise one
    // character per byte, as RFC 9110 section 5.5 reads obs-text.
    static QString text(const QByteArray &bytes);
};

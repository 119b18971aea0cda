#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QVarLengthArray>

// The head of an HTTP message, its start line and header fields up to the blank line, read in one
// pass into slices of the bytes it was read from: nothing is copied, so those bytes must outlive
// the head. The browser's request, the server's reply, forwarding and the records all read heads
// here, so that none of them reads a field the others do not.
class MessageHead
{
public:
    enum class Reading {
        // The browser's request. Lines end in CR LF and hold no NUL, bare CR or bare LF (CRequest's
        // byte scan refuses those as they arrive); every field line is a token, a colon and a
        // value; folded lines are refused (RFC 9112 section 5.2) rather than joined, as servers
        // differ on them. The first fault ends the reading; the fields before it are kept.
        Strict,
        // A server's reply or a record file: whatever it holds. Lines end at LF with or without CR,
        // a line without a name before a colon is passed over, and a head cut short keeps the lines
        // it has. Names lose the blanks before them (a line that starts with blanks is a field of
        // its own, not the fold of the one before; reply framing refuses such lines), and values
        // the stray CRs at their end too.
        Lenient
    };

    struct Field {
        QByteArrayView name; // up to the colon
        QByteArrayView value; // without the blanks around it
        QByteArrayView line; // the whole field line without its line end, to copy as it is

        // The field has that name, in any letter case.
        bool is(QByteArrayView other) const;
    };
    // Room for the fields of a usual request without a heap allocation.
    using Fields = QVarLengthArray<Field, 24>;

    static MessageHead read(QByteArrayView bytes, Reading reading);
    // The head would point into a temporary that is gone by the next statement.
    static MessageHead read(QByteArray &&bytes, Reading reading) = delete;

    QByteArrayView startLine() const { return m_startLine; }
    const Fields &fields() const { return m_fields; }
    // Bytes from the start up to and including the blank line; -1 when the head never ended, or
    // when a strict reading stopped at a fault.
    qsizetype size() const { return m_size; }
    // Why a strict reading stopped, as the browser is told; empty when it did not.
    const QString &refusal() const { return m_refusal; }

    // The value of the first field of that name (any letter case), or a null view.
    QByteArrayView value(QByteArrayView name) const;
    bool contains(QByteArrayView name) const;
    int count(QByteArrayView name) const;
    // The elements of a comma-separated value, trimmed, empty ones kept.
    QVarLengthArray<QByteArrayView, 8> elements(QByteArrayView value) const;
    // The non-empty elements of every field of that name, in order and in lower case: the
    // Connection options, the transfer codings, the Content-Length values.
    QList<QByteArray> list(QByteArrayView name) const;
    // Adds the non-empty elements of one field's value, in lower case.
    void addElements(QByteArrayView value, QList<QByteArray> &to) const;

    // Without the spaces and tabs around it, and when lenient, without CRs at its end.
    static QByteArrayView trimmed(QByteArrayView text, Reading reading);
    // RFC 9110 section 5.6.2.
    static bool isTokenChar(char c);

private:
    Reading m_reading = Reading::Strict;
    QByteArrayView m_startLine;
    Fields m_fields;
    qsizetype m_size = -1;
    QString m_refusal;
};

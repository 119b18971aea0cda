#include "RecordMessage.h"

#include "MessageHead.h"

RecordMessage RecordMessage::parse(const QByteArray &bytes)
{
    // A header cut short still counts as far as it goes, but no body follows it. Records show each
    // field as it was written: the name with any blanks before it, the value without any white space
    // around it.
    const MessageHead head = MessageHead::read(bytes, MessageHead::Reading::Lenient);
    RecordMessage message;
    message.startLine = head.startLine().toByteArray();
    message.headers.reserve(head.fields().size());
    for (const MessageHead::Field &field : head.fields())
        message.headers.append(
            { field.line.first(field.line.indexOf(':')).toByteArray(), field.value.toByteArray().trimmed() });
    message.headerSize = head.size();
    if (head.size() >= 0)
        message.body = bytes.mid(head.size());
    return message;
}

QByteArray RecordMessage::header(const char *name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    }
    return QByteArray();
}

bool RecordMessage::hasHeader(const char *name) const
{
    return !header(name).isNull();
}

QByteArray RecordMessage::word(int index) const
{
    return startLine.split(' ').value(index);
}

QByteArray RecordMessage::wordsFrom(int index) const
{
    qsizetype pos = 0;
    for (int i = 0; i < index && pos >= 0; ++i) {
        pos = startLine.indexOf(' ', pos);
        if (pos >= 0)
            ++pos;
    }
    return pos < 0 ? QByteArray() : startLine.mid(pos);
}

QString RecordMessage::text(const QByteArray &bytes)
{
    return QUtf8StringView(bytes).isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

#include "RecordMessage.h"

RecordMessage RecordMessage::parse(const QByteArray &bytes)
{
    RecordMessage message;
    qsizetype pos = 0;
    bool first = true;
    while (pos < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', pos);
        if (end < 0) {
            // A header cut short: what there is still counts, but no body follows.
            end = bytes.size();
        }
        QByteArray line = bytes.mid(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = end + 1;
        if (first) {
            message.startLine = line;
            first = false;
            continue;
        }
        if (line.isEmpty()) {
            message.headerSize = qMin(pos, bytes.size());
            message.body = bytes.mid(message.headerSize);
            return message;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            message.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
    }
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

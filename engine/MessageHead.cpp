#include "MessageHead.h"

#include <array>

namespace {

// A table rather than comparisons: every byte of every field name in every request goes through it.
constexpr std::array<bool, 256> TokenChars = [] {
    std::array<bool, 256> table {};
    for (int c = '0'; c <= '9'; ++c)
        table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = table[c - 'a' + 'A'] = true;
    for (const char c : { '!', '#', '$', '%', '&', '\'', '*', '+', '-', '.', '^', '_', '`', '|', '~' })
        table[static_cast<unsigned char>(c)] = true;
    return table;
}();

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Why a strict reading refuses a field line; empty when it does not.
QString strictFault(QByteArrayView line, qsizetype colon)
{
    if (isBlank(line.front()))
        return QStringLiteral("Obsolete line folding in request header");
    if (colon <= 0)
        return QStringLiteral("Malformed header field");
    for (const char c : line.first(colon)) {
        if (!TokenChars[static_cast<unsigned char>(c)])
            return isBlank(c) ? QStringLiteral("Blank before colon in header field")
                              : QStringLiteral("Malformed header field name");
    }
    return {};
}

} // namespace

bool MessageHead::isTokenChar(char c)
{
    return TokenChars[static_cast<unsigned char>(c)];
}

bool MessageHead::Field::is(QByteArrayView other) const
{
    return name.size() == other.size() && name.compare(other, Qt::CaseInsensitive) == 0;
}

QByteArrayView MessageHead::trimmed(QByteArrayView text, Reading reading)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && (isBlank(text.back()) || (reading == Reading::Lenient && text.back() == '\r')))
        text.chop(1);
    return text;
}

MessageHead MessageHead::read(QByteArrayView bytes, Reading reading)
{
    MessageHead head;
    head.m_reading = reading;
    bool first = true;
    for (qsizetype pos = 0; pos < bytes.size();) {
        qsizetype end = bytes.indexOf('\n', pos);
        if (end < 0)
            end = bytes.size();
        QByteArrayView line = bytes.sliced(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = end + 1;
        if (first) {
            head.m_startLine = line;
            first = false;
            continue;
        }
        if (line.isEmpty()) {
            head.m_size = qMin(pos, bytes.size());
            break;
        }
        const qsizetype colon = line.indexOf(':');
        if (reading == Reading::Strict) {
            head.m_refusal = strictFault(line, colon);
            if (!head.m_refusal.isEmpty())
                return head;
        } else if (colon <= 0) {
            continue;
        }
        QByteArrayView name = line.first(colon);
        while (!name.isEmpty() && isBlank(name.front()))
            name = name.sliced(1);
        head.m_fields.append({ name, trimmed(line.sliced(colon + 1), reading), line });
    }
    return head;
}

QByteArrayView MessageHead::value(QByteArrayView name) const
{
    for (const Field &field : m_fields) {
        if (field.is(name))
            return field.value;
    }
    return {};
}

bool MessageHead::contains(QByteArrayView name) const
{
    return !value(name).isNull();
}

int MessageHead::count(QByteArrayView name) const
{
    int n = 0;
    for (const Field &field : m_fields)
        n += field.is(name) ? 1 : 0;
    return n;
}

QVarLengthArray<QByteArrayView, 8> MessageHead::elements(QByteArrayView value) const
{
    QVarLengthArray<QByteArrayView, 8> out;
    for (qsizetype pos = 0;;) {
        const qsizetype comma = value.indexOf(',', pos);
        out.append(trimmed(value.sliced(pos, (comma < 0 ? value.size() : comma) - pos), m_reading));
        if (comma < 0)
            return out;
        pos = comma + 1;
    }
}

void MessageHead::addElements(QByteArrayView value, QList<QByteArray> &to) const
{
    for (const QByteArrayView element : elements(value)) {
        if (!element.isEmpty())
            to.append(element.toByteArray().toLower());
    }
}

QList<QByteArray> MessageHead::list(QByteArrayView name) const
{
    QList<QByteArray> out;
    for (const Field &field : m_fields) {
        if (field.is(name))
            addElements(field.value, out);
    }
    return out;
}

#include "TextPattern.h"

TextPattern::TextPattern(const QString &text)
    : m_text(text.trimmed())
    , m_exclude(m_text.startsWith(u'-'))
    , m_needle(QStringView(m_text).mid(m_exclude ? 1 : 0), Qt::CaseInsensitive)
{ }

std::optional<TextPattern> TextPattern::parse(const QString &text, QString *why)
{
    const QString trimmed = text.trimmed();
    QString reason;
    if (trimmed.isEmpty() || trimmed == QStringLiteral("-"))
        reason = QStringLiteral("The pattern is empty.");
    else if (std::any_of(trimmed.cbegin(), trimmed.cend(),
                 [](QChar c) { return c.category() == QChar::Other_Control; }))
        reason = QStringLiteral("The pattern holds a control character.");
    if (!reason.isEmpty()) {
        if (why)
            *why = reason;
        return std::nullopt;
    }
    return TextPattern(trimmed);
}

bool TextPattern::matches(std::initializer_list<QStringView> fields) const
{
    if (m_needle.pattern().isEmpty())
        return true;
    bool found = false;
    for (const QStringView field : fields)
        found = found || m_needle.indexIn(field) >= 0;
    return found != m_exclude;
}

bool TextPattern::isEmpty() const
{
    return m_needle.pattern().isEmpty();
}

const QString &TextPattern::text() const
{
    return m_text;
}

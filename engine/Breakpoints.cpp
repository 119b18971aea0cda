#include "Breakpoints.h"

std::optional<Breakpoints> Breakpoints::make(const QList<BreakpointRule> &rules, QString *why)
{
    Breakpoints made;
    for (const BreakpointRule &rule : rules) {
        QString reason;
        std::optional<TextPattern> pattern = TextPattern::parse(rule.pattern, &reason);
        if (pattern && !rule.onRequest && !rule.onReply)
            reason = QStringLiteral("The rule stops neither the request nor the reply.");
        if (!reason.isEmpty()) {
            if (why)
                *why = QStringLiteral("Rule \"%1\": %2").arg(rule.pattern.trimmed(), reason);
            return std::nullopt;
        }
        made.m_rules.append(rule);
        made.m_patterns.append(*pattern);
    }
    return made;
}

int Breakpoints::pointsFor(QStringView host, QStringView type, QStringView url) const
{
    int points = None;
    for (qsizetype i = 0; i < m_rules.size(); ++i) {
        if (!m_patterns[i].matches({ host, type, url }))
            continue;
        points |= (m_rules[i].onRequest ? Request : None) | (m_rules[i].onReply ? Reply : None);
    }
    return points;
}

const QList<BreakpointRule> &Breakpoints::rules() const
{
    return m_rules;
}

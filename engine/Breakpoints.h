#pragma once

#include "TextPattern.h"

#include <QList>
#include <QString>

#include <optional>

// Where the proxy stops an exchange so that the user can look at it and change it: before its
// request goes to the server, before its reply goes to the browser, or both, for the exchanges
// whose host, type or URL a rule's pattern matches.
struct BreakpointRule {
    QString pattern;
    bool onRequest = true;
    bool onReply = false;
    bool operator==(const BreakpointRule &) const = default;
};

class Breakpoints
{
public:
    enum Point { None = 0, Request = 1, Reply = 2 };

    // Refused when a rule's pattern does not parse or a rule stops nowhere; why names the rule.
    static std::optional<Breakpoints> make(const QList<BreakpointRule> &rules, QString *why = nullptr);

    // The points at which an exchange with this host, type and URL stops: a Point mask.
    int pointsFor(QStringView host, QStringView type, QStringView url) const;
    const QList<BreakpointRule> &rules() const;

private:
    QList<BreakpointRule> m_rules;
    QList<TextPattern> m_patterns;
};

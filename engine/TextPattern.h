#pragma once

#include <QString>
#include <QStringMatcher>
#include <QStringView>

#include <initializer_list>
#include <optional>

// A pattern as the history's filter box takes it: text found, in any letter case, in any of the
// fields it is matched against; with a leading "-", text found in none of them. An empty pattern
// matches everything.
class TextPattern
{
public:
    explicit TextPattern(const QString &text = QString());
    // A pattern that must stop on something: refused when it is empty, is only "-", or holds a
    // control character; why says which.
    static std::optional<TextPattern> parse(const QString &text, QString *why = nullptr);

    bool matches(std::initializer_list<QStringView> fields) const;
    bool isEmpty() const;
    // The pattern as given, without surrounding blanks.
    const QString &text() const;

private:
    QString m_text;
    bool m_exclude = false;
    QStringMatcher m_needle;
};

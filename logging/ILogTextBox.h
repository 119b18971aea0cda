#pragma once

#include <QString>

// The on-screen destination of a log writer: a multi-line text box. The log window's txtLog
// implements it; the log writer itself links no widgets.
class ILogTextBox
{
public:
    virtual ~ILogTextBox() = default;

    virtual qsizetype textLength() const = 0;
    virtual void replaceAll(const QString &text) = 0;
    // Puts the caret at the end, inserts the text there and scrolls to it.
    virtual void appendAtEnd(const QString &text) = 0;
};

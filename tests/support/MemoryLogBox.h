#pragma once

#include "ILogTextBox.h"

#include <QString>

// A log text box held in memory.
class MemoryLogBox : public ILogTextBox
{
public:
    qsizetype textLength() const override { return text.size(); }
    void replaceAll(const QString &newText) override { text = newText; }
    void appendAtEnd(const QString &line) override { text += line; }

    QString text;
};

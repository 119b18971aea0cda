#pragma once

#include "IProxyShell.h"
#include "MemoryHistoryList.h"

#include <QList>
#include <QString>

#include <functional>

// A main window stand-in: an in-memory history list, a record of every tray picture and message
// box the engine asked for, and a hook run on each purge. Message boxes return at once.
class FakeShell : public IProxyShell
{
public:
    IHistoryList *historyList() override { return &list; }
    void UpdateIcon(qint16 icon) override { icons.append(icon); }
    void DeleteTempFiles() override { onPurge(); }
    void messageBox(const QString &text, MessageIcon) override { messages.append(text); }

    MemoryHistoryList list;
    QList<qint16> icons;
    QStringList messages;
    std::function<void()> onPurge = [] {};
};

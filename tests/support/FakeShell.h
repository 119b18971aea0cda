#pragma once

#include "IProxyShell.h"
#include "MemoryHistoryList.h"

#include <QList>
#include <QString>

// A main window stand-in: an in-memory history list, and a record of every tray picture and
// message box the engine asked for. Message boxes return at once.
class FakeShell : public IProxyShell
{
public:
    IHistoryList *historyList() override { return &list; }
    void UpdateIcon(qint16 icon) override { icons.append(icon); }
    void messageBox(const QString &text, MessageIcon) override { messages.append(text); }

    MemoryHistoryList list;
    QList<qint16> icons;
    QStringList messages;
};

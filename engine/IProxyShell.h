#pragma once

#include <QString>

class IHistoryList;

// What the proxy engine needs of the main window: the history list, the tray picture and the
// modal message boxes. The main window implements it; tests fake it so
// that nothing ever waits on a box.
class IProxyShell
{
public:
    enum class MessageIcon { None, Information, Exclamation };

    virtual ~IProxyShell() = default;

    // ListView1 of the main window.
    virtual IHistoryList *historyList() = 0;
    // 1 shows the busy tray picture, 0 the idle one.
    virtual void UpdateIcon(qint16 icon) = 0;
    // A box with an OK button, captioned with the application title. It returns at once: the box
    // stays open on its own until it is dismissed.
    virtual void messageBox(const QString &text, MessageIcon icon) = 0;
};

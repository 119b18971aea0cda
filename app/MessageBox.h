#pragma once

#include <QString>

#include <functional>

class QWidget;

// The program's modal message boxes: captioned with the application title, an OK button and an
// optional icon. Where no screen can show a box (Qt's offscreen platform), the text goes to
// standard error and the call returns as if OK had been pressed, so a headless run never
// blocks on a box nobody can see.
class MessageBox
{
public:
    enum class Icon { None, Information, Exclamation, Critical };

    static QString title(); // "Tarnwick"

    static void show(QWidget *parent, const QString &text, Icon icon = Icon::None);
    // The same box, but left open on its own: the call returns at once, for boxes that events
    // of the network raise and that must not hold whoever raised them.
    static void post(QWidget *parent, const QString &text, Icon icon = Icon::None);
    // Yes and No, No the default: true for Yes. Where no box can be shown the answer is No, since
    // nobody agreed.
    static bool confirm(QWidget *parent, const QString &text);

    // Test seam: while set, no box is shown and every box goes to the hook instead.
    static void setHookForTest(std::function<void(const QString &text, Icon icon)> hook);
    // Test seam: the answer of the next confirm() while the hook is set; its text goes to the hook.
    static void setNextAnswerForTest(bool yes);
};

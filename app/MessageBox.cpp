#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace {
std::function<void(const QString &, MessageBox::Icon)> g_hook;
bool g_nextAnswer = false;
} // namespace

QString MessageBox::title()
{
    return QStringLiteral("Tarnwick");
}

void MessageBox::show(QWidget *parent, const QString &text, Icon icon)
{
    if (g_hook) {
        g_hook(text, icon);
        return;
    }
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title()), qPrintable(text));
        std::fflush(stderr);
        return;
    }
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    switch (icon) {
    case Icon::None:
        break;
    case Icon::Information:
        qtIcon = QMessageBox::Information;
        break;
    case Icon::Exclamation:
        qtIcon = QMessageBox::Warning;
        break;
    case Icon::Critical:
        qtIcon = QMessageBox::Critical;
        break;
    }
    QMessageBox box(qtIcon, title(), text, QMessageBox::Ok, parent);
    box.exec();
}

bool MessageBox::confirm(QWidget *parent, const QString &text)
{
    if (g_hook) {
        g_hook(text, Icon::Exclamation);
        return std::exchange(g_nextAnswer, false);
    }
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "%s: %s (answered No)\n", qPrintable(title()), qPrintable(text));
        std::fflush(stderr);
        return false;
    }
    QMessageBox box(QMessageBox::Question, title(), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MessageBox::setNextAnswerForTest(bool yes)
{
    g_nextAnswer = yes;
}

void MessageBox::setHookForTest(std::function<void(const QString &, Icon)> hook)
{
    g_hook = std::move(hook);
}

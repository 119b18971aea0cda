#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace {
std::function<void(const QString &, MessageBox::Icon)> g_hook;
bool g_nextAnswer = false;

QMessageBox::Icon toQtIcon(MessageBox::Icon icon)
{
    switch (icon) {
    case MessageBox::Icon::None:
        break;
    case MessageBox::Icon::Information:
        return QMessageBox::Information;
    case MessageBox::Icon::Exclamation:
        return QMessageBox::Warning;
    case MessageBox::Icon::Critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}
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
    QMessageBox box(toQtIcon(icon), title(), text, QMessageBox::Ok, parent);
    box.exec();
}

void MessageBox::post(QWidget *parent, const QString &text, Icon icon)
{
    if (g_hook || QGuiApplication::platformName() == QLatin1String("offscreen"))
        return show(parent, text, icon);
    auto *box = new QMessageBox(toQtIcon(icon), title(), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
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

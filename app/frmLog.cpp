#include "frmLog.h"

#include "MainModule.h"
#include "Twips.h"
#include "frmMain.h"

#include <QCloseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
// Border and caption around the client area as the window was designed; the resize margins
// below assume them, whatever the desktop's decorations really are.
constexpr int DesignChromeWidth = 120;
constexpr int DesignChromeHeight = 405;
} // namespace

LogTextBox::LogTextBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("txtLog"));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

qsizetype LogTextBox::textLength() const
{
    const QTextDocument *doc = document();
    return doc->characterCount() - 1 + (doc->blockCount() - 1);
}

void LogTextBox::replaceAll(const QString &text)
{
    setPlainText(text);
}

void LogTextBox::appendAtEnd(const QString &text)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    // Moving the caret and scrolling lay the text out; while nobody can see the box, that work
    // waits until it is shown.
    if (!isVisible()) {
        m_scrollPending = true;
        return;
    }
    setTextCursor(cursor);
    ensureCursorVisible();
}

void LogTextBox::showEvent(QShowEvent *event)
{
    QPlainTextEdit::showEvent(event);
    if (m_scrollPending) {
        m_scrollPending = false;
        moveCursor(QTextCursor::End);
        ensureCursorVisible();
    }
}

frmLog::frmLog(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("frmLog"));
    setWindowTitle(QStringLiteral("Log"));
    txtLog = new LogTextBox(this);
    txtLog->setGeometry(
        Twips::toPixelsX(15, this), 0, Twips::toPixelsX(6750, this), Twips::toPixelsY(3180, this));
    resize(Twips::toPixelsX(6780, this), Twips::toPixelsY(3195, this));
}

void frmLog::closeEvent(QCloseEvent *event)
{
    if (Tag == QLatin1String("END")) {
        event->accept();
        return;
    }
    hide();
    event->ignore();
}

void frmLog::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmLog::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shownOnce) {
        m_shownOnce = true;
        if (frmMain *owner = mainWindow()) {
            setWindowIcon(owner->windowIcon());
            QRect frame = frameGeometry();
            frame.moveCenter(owner->frameGeometry().center());
            move(frame.topLeft());
        }
    }
    Form_Resize();
}

void frmLog::Form_Resize()
{
    const int outerWidth = Twips::fromPixelsX(width(), this) + DesignChromeWidth;
    const int outerHeight = Twips::fromPixelsY(height(), this) + DesignChromeHeight;
    // A window smaller than the margins (minimized, for one) leaves the text box as it is.
    const int boxWidth = outerWidth - 150;
    const int boxHeight = outerHeight - 420;
    if (boxWidth < 0 || boxHeight < 0)
        return;
    txtLog->resize(Twips::toPixelsX(boxWidth, this), Twips::toPixelsY(boxHeight, this));
}

#pragma once

#include "ILogTextBox.h"

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

// The log window's text box; the server's access log writes into it.
class LogTextBox : public QPlainTextEdit, public ILogTextBox
{
    Q_OBJECT

public:
    explicit LogTextBox(QWidget *parent = nullptr);

    // Counts each line break as the two characters CR LF that the log writer wrote.
    qsizetype textLength() const override;
    void replaceAll(const QString &text) override;
    void appendAtEnd(const QString &text) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool m_scrollPending = false;
};

// Shows the access log live. Closing it only hides it, unless the program is ending.
class frmLog : public QWidget
{
    Q_OBJECT

public:
    explicit frmLog(QWidget *parent = nullptr);

    LogTextBox *txtLog = nullptr;
    // "END" while the program is shutting down.
    QString Tag;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Resize();

    bool m_shownOnce = false;
};

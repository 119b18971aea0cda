#pragma once

#include "Breakpoints.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableWidget;

// Edits the breakpoint rules and switches them on or off. OK keeps only rules that parse; the
// caller takes rules() and on() afterwards.
class frmBreakpoints : public QDialog
{
    Q_OBJECT

public:
    frmBreakpoints(const QList<BreakpointRule> &rules, bool on, QWidget *owner);

    // The rules as the table shows them.
    QList<BreakpointRule> rules() const;
    bool on() const;

    // Pattern, stop before the request, stop before the reply: one row a rule.
    QTableWidget *grdRules = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdRemove = nullptr;
    QCheckBox *chkOn = nullptr;
    QLabel *lblError = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    void addRule(const BreakpointRule &rule);

private:
    void confirm();
};

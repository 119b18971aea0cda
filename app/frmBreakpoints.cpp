#include "frmBreakpoints.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

enum Column { Pattern, OnRequest, OnReply, ColumnCount };
} // namespace

frmBreakpoints::frmBreakpoints(const QList<BreakpointRule> &rules, bool on, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmBreakpoints"));
    setWindowTitle(QStringLiteral("Breakpoints"));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    grdRules = named(new QTableWidget(0, ColumnCount, this), "grdRules");
    grdRules->setHorizontalHeaderLabels({ QStringLiteral("Host, type or URL contains (-text: none does)"),
        QStringLiteral("Before the request"), QStringLiteral("Before the reply") });
    grdRules->horizontalHeader()->setSectionResizeMode(Pattern, QHeaderView::Stretch);
    grdRules->verticalHeader()->hide();
    grdRules->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (const BreakpointRule &rule : rules)
        addRule(rule);
    cmdAdd = named(new QPushButton(QStringLiteral("&Add"), this), "cmdAdd");
    cmdRemove = named(new QPushButton(QStringLiteral("&Remove"), this), "cmdRemove");
    chkOn = named(new QCheckBox(QStringLiteral("&Breakpoints on"), this), "chkOn");
    chkOn->setChecked(on);
    lblError = named(new QLabel(this), "lblError");
    lblError->setWordWrap(true);
    cmdOK = named(new QPushButton(QStringLiteral("OK"), this), "cmdOK");
    cmdCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel");
    cmdOK->setDefault(true);

    auto *edit = new QHBoxLayout;
    edit->addWidget(cmdAdd);
    edit->addWidget(cmdRemove);
    edit->addStretch(1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(chkOn);
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *form = new QVBoxLayout(this);
    form->addWidget(grdRules, 1);
    form->addLayout(edit);
    form->addWidget(lblError);
    form->addLayout(buttons);
    resize(560, 320);

    connect(cmdAdd, &QPushButton::clicked, this, [this] {
        addRule({});
        grdRules->editItem(grdRules->item(grdRules->rowCount() - 1, Pattern));
    });
    connect(cmdRemove, &QPushButton::clicked, this, [this] {
        if (const int row = grdRules->currentRow(); row >= 0)
            grdRules->removeRow(row);
    });
    connect(cmdOK, &QPushButton::clicked, this, &frmBreakpoints::confirm);
    connect(cmdCancel, &QPushButton::clicked, this, &frmBreakpoints::reject);
}

void frmBreakpoints::addRule(const BreakpointRule &rule)
{
    const int row = grdRules->rowCount();
    grdRules->insertRow(row);
    grdRules->setItem(row, Pattern, new QTableWidgetItem(rule.pattern));
    const bool stops[] = { rule.onRequest, rule.onReply };
    for (int column : { OnRequest, OnReply }) {
        auto *item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(stops[column - OnRequest] ? Qt::Checked : Qt::Unchecked);
        grdRules->setItem(row, column, item);
    }
}

QList<BreakpointRule> frmBreakpoints::rules() const
{
    QList<BreakpointRule> rules;
    for (int row = 0; row < grdRules->rowCount(); ++row)
        rules.append({ grdRules->item(row, Pattern)->text(),
            grdRules->item(row, OnRequest)->checkState() == Qt::Checked,
            grdRules->item(row, OnReply)->checkState() == Qt::Checked });
    return rules;
}

bool frmBreakpoints::on() const
{
    return chkOn->isChecked();
}

void frmBreakpoints::confirm()
{
    QString why;
    if (!Breakpoints::make(rules(), &why)) {
        lblError->setText(why);
        return;
    }
    accept();
}

#include "frmOptions.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}
} // namespace

frmOptions::frmOptions(const Options &options, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    lblLimit = named(new QLabel(QStringLiteral("&Keep at most"), this), "lblLimit");
    spnLimit = named(new QSpinBox(this), "spnLimit");
    spnLimit->setRange(Options::MinHistoryLimit, Options::MaxHistoryLimit);
    spnLimit->setGroupSeparatorShown(true);
    spnLimit->setValue(options.historyLimit);
    lblLimit->setBuddy(spnLimit);
    lblRows = named(new QLabel(QStringLiteral("rows"), this), "lblRows");
    fraLimitMode = named(new QGroupBox(QStringLiteral("When the limit is passed"), this), "fraLimitMode");
    optClear = named(new QRadioButton(QStringLiteral("&Clear the history"), fraLimitMode), "optClear");
    optOldest = named(new QRadioButton(QStringLiteral("&Remove the oldest rows"), fraLimitMode), "optOldest");
    (options.historyMode == HistoryModel::LimitMode::Oldest ? optOldest : optClear)->setChecked(true);
    chkKeepHistory = named(
        new QCheckBox(QStringLiteral("K&eep the history when Tarnwick exits"), this), "chkKeepHistory");
    chkKeepHistory->setChecked(options.keepHistory);
    cmdOK = named(new QPushButton(QStringLiteral("OK"), this), "cmdOK");
    cmdCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel");
    cmdOK->setDefault(true);

    auto *limit = new QHBoxLayout;
    limit->addWidget(lblLimit);
    limit->addWidget(spnLimit);
    limit->addWidget(lblRows);
    limit->addStretch(1);
    auto *modes = new QVBoxLayout(fraLimitMode);
    modes->addWidget(optClear);
    modes->addWidget(optOldest);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *form = new QVBoxLayout(this);
    form->addLayout(limit);
    form->addWidget(fraLimitMode);
    form->addWidget(chkKeepHistory);
    form->addStretch(1);
    form->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::reject);
}

Options frmOptions::options() const
{
    Options options;
    options.historyLimit = spnLimit->value();
    options.historyMode
        = optOldest->isChecked() ? HistoryModel::LimitMode::Oldest : HistoryModel::LimitMode::Clear;
    options.keepHistory = chkKeepHistory->isChecked();
    return options;
}

#pragma once

#include "Options.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Edits the options; the caller stores what options() gives back after OK.
class frmOptions : public QDialog
{
    Q_OBJECT

public:
    frmOptions(const Options &options, QWidget *owner);

    // The options as the controls show them.
    Options options() const;

    QLabel *lblLimit = nullptr;
    QSpinBox *spnLimit = nullptr;
    QLabel *lblRows = nullptr;
    QGroupBox *fraLimitMode = nullptr;
    QRadioButton *optClear = nullptr;
    QRadioButton *optOldest = nullptr;
    QCheckBox *chkKeepHistory = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
};

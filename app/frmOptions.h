#pragma once

#include "Options.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Edits the options; the caller stores what options() gives back after OK. OK keeps the dialog
// open while an address list or the upstream proxy cannot be read, and says why.
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
    QGroupBox *fraNetwork = nullptr;
    QLineEdit *txtAllowClients = nullptr;
    // Shown while the listening address reaches other machines and only this one may connect.
    QLabel *lblAllowWarning = nullptr;
    QLineEdit *txtProxyUser = nullptr;
    // Empty keeps the password already set; what is typed is kept only as its hash.
    QLineEdit *txtProxyPassword = nullptr;
    QLineEdit *txtUpstreamProxy = nullptr;
    QLineEdit *txtUpstreamUser = nullptr;
    QLineEdit *txtUpstreamPassword = nullptr;
    QLineEdit *txtUpstreamBypass = nullptr;
    QLabel *lblError = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

private:
    void cmdOK_Click();
    void updateAllowWarning();

    Options m_options;
};

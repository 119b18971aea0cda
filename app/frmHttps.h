#pragma once

#include <QDialog>
#include <QPointer>

class CProxyServer;
class HttpsDecryption;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Edits tarnwick-https.ini. OK applies the settings to the next CONNECTs and saves them at once;
// exporting and renewing the CA act on the spot, whatever the dialog's outcome.
class frmHttps : public QDialog
{
    Q_OBJECT

public:
    // proxy may be null: then failures are shown but not logged.
    frmHttps(HttpsDecryption *decryption, CProxyServer *proxy, QWidget *owner);

    QCheckBox *chkDecrypt = nullptr;
    QLabel *lblNeverDecrypt = nullptr;
    QPlainTextEdit *txtNeverDecrypt = nullptr;
    QLabel *lblExtraCA = nullptr;
    QLineEdit *txtExtraCA = nullptr;
    QPushButton *cmdBrowseCA = nullptr;
    QPushButton *cmdExportCA = nullptr;
    QPushButton *cmdNewCA = nullptr;
    QLabel *lblTrustNote = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    // A host name, an IP address, or "*." and a host name.
    static bool isHostEntry(const QString &entry);

private:
    void cmdBrowseCA_Click();
    void cmdExportCA_Click();
    void cmdNewCA_Click();
    void cmdOK_Click();
    // Shows a failure and writes it to the access log.
    void report(const QString &text);

    HttpsDecryption *m_decryption;
    QPointer<CProxyServer> m_proxy;
};

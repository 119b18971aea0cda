#pragma once

#include <QDialog>
#include <QPointer>

#include <optional>

class CProxyServer;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Edits the three stored settings. Address and port are only stored (the server picks them up at
// the next start); a changed log file name re-points the running server's access log at once.
class frmSettings : public QDialog
{
    Q_OBJECT

public:
    frmSettings(CProxyServer *proxy, QWidget *owner);

    QLabel *Label2 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *txtIP = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtPort = nullptr;
    QLabel *lblRestartNote = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *txtLogFile = nullptr;
    QPushButton *cmdGetFolder = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    // The port text as a port number, or nullopt when it is not a whole number from 0 to 65535.
    static std::optional<qint32> parsePort(const QString &text);
    // Empty (the server's own default) or a literal IPv4 or IPv6 address.
    static bool isAcceptableAddress(const QString &text);

private:
    // Grows every control to its text and moves what lies below or beside it out of the way.
    void fitToTexts();
    void cmdGetFolder_Click();
    void cmdOK_Click();
    void cmdCancel_Click();

    QPointer<CProxyServer> m_proxy;
};

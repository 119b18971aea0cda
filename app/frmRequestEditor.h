#pragma once

#include "CProxyServer.h"
#include "HttpTarget.h"

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabBar;

// Edits a request before it is sent (again, or for the first time), or a held request or reply
// before it goes on. What the boxes hold becomes bytes in the static build functions, which
// refuse what the proxy itself would refuse.
class frmRequestEditor : public QDialog
{
    Q_OBJECT

public:
    enum class Mode { NewRequest, Resend, HeldRequest, HeldReply };

    // What the boxes hold.
    struct Draft {
        bool secure = false;
        QString host;
        QString port = QStringLiteral("80");
        // The start line and the header fields, one a line, ended by LF or CR LF.
        QString head;
        QByteArray body;
        bool updateLength = true;
        bool operator==(const Draft &) const = default;
    };
    struct Built {
        QByteArray message;
        // Where an https request goes; its start line keeps the origin form.
        HttpTarget origin;
        // Why it cannot go; empty when it can.
        QString error;
    };

    // The start line's target follows the boxes: absolute for http, the path alone for https;
    // so does the Host field. Checked as the proxy checks a browser's request.
    static Built buildRequest(const Draft &draft);
    // A reply to a request that was HEAD (headRequest) or not, checked to be one whole reply.
    static Built buildReply(const Draft &draft, bool headRequest);
    // A request or reply as the boxes show it; fullUrl, when given, fills the scheme, host and port.
    static Draft draftOf(const QByteArray &message, const QString &fullUrl = QString());

    // The body view: text only when the text box gives the same bytes back.
    static bool isText(const QByteArray &body);
    static QString toHex(const QByteArray &bytes);
    // Hex digits, an even number of them, with any blanks between; empty when anything else is there.
    static std::optional<QByteArray> fromHex(const QString &text);

    // headRequest: a held reply answers HEAD.
    frmRequestEditor(Mode mode, const Draft &draft, QWidget *owner, bool headRequest = false);

    // The boxes as a draft; empty when the body's hex does not read.
    std::optional<Draft> draft() const;

    QComboBox *cboScheme = nullptr;
    QLineEdit *txtHost = nullptr;
    QLineEdit *txtPort = nullptr;
    QPlainTextEdit *txtHead = nullptr;
    // Text, Hex: how txtBody shows the body.
    QTabBar *tabBodyView = nullptr;
    QPlainTextEdit *txtBody = nullptr;
    QCheckBox *chkUpdateLength = nullptr;
    QLabel *lblError = nullptr;
    QPushButton *cmdSend = nullptr;
    QPushButton *cmdContinue = nullptr;
    QPushButton *cmdAbort = nullptr;
    QPushButton *cmdCancel = nullptr;

signals:
    // Send: a request the proxy takes.
    void sendRequested(const CProxyServer::ResendItem &item);
    // Continue or Abort on a held exchange.
    void decided(const CProxyServer::HoldDecision &decision);

private:
    void bodyViewChanged(int index);
    void send();
    void decide(bool abort);
    std::optional<Built> built();

    Mode m_mode;
    // Continue on a held exchange left as it came sends no edited bytes.
    Draft m_initial;
    bool m_headRequest = false;
    int m_bodyView = 0;
};

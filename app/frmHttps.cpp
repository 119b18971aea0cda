#include "frmHttps.h"

#include "CProxyServer.h"
#include "HttpsDecryption.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "cDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {
template <typename T> T *control(QWidget *parent, const char *name, const QString &text = {})
{
    auto *widget = new T(text, parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QHBoxLayout *row(std::initializer_list<QWidget *> widgets, bool stretchFirst)
{
    auto *layout = new QHBoxLayout;
    if (stretchFirst)
        layout->addStretch(1);
    for (QWidget *widget : widgets)
        layout->addWidget(widget);
    if (!stretchFirst)
        layout->addStretch(1);
    return layout;
}
} // namespace

frmHttps::frmHttps(HttpsDecryption *decryption, CProxyServer *proxy, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_decryption(decryption)
    , m_proxy(proxy)
{
    setObjectName(QStringLiteral("frmHttps"));
    setWindowTitle(QStringLiteral("HTTPS Decryption"));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    chkDecrypt = control<QCheckBox>(this, "chkDecrypt", QStringLiteral("Decrypt HTTPS traffic"));
    lblNeverDecrypt = control<QLabel>(this, "lblNeverDecrypt", QStringLiteral("Never decrypt these hosts"));
    txtNeverDecrypt = control<QPlainTextEdit>(this, "txtNeverDecrypt");
    txtNeverDecrypt->setPlaceholderText(QStringLiteral("One host or *.example.com pattern per line"));
    txtNeverDecrypt->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtNeverDecrypt->setTabChangesFocus(true);
    lblExtraCA = control<QLabel>(this, "lblExtraCA", QStringLiteral("Extra trusted CA file"));
    txtExtraCA = control<QLineEdit>(this, "txtExtraCA");
    cmdBrowseCA = control<QPushButton>(this, "cmdBrowseCA", QStringLiteral("Browse..."));
    cmdExportCA = control<QPushButton>(this, "cmdExportCA", QStringLiteral("Export CA Certificate..."));
    cmdNewCA = control<QPushButton>(this, "cmdNewCA", QStringLiteral("New CA..."));
    lblTrustNote = control<QLabel>(this, "lblTrustNote",
        QStringLiteral("Decrypted sites load only once the browser or the system trusts the exported CA "
                       "certificate. Hosts on the list above, and programs that pin their certificates, "
                       "stay plain tunnels."));
    lblTrustNote->setWordWrap(true);
    cmdOK = control<QPushButton>(this, "cmdOK", QStringLiteral("OK"));
    cmdCancel = control<QPushButton>(this, "cmdCancel", QStringLiteral("Cancel"));
    cmdOK->setDefault(true);

    // Sized by layouts from the font's own metrics, so every caption shows whole at any font and dpi.
    const QFontMetrics metrics = fontMetrics();
    txtNeverDecrypt->setMinimumHeight(metrics.lineSpacing() * 6);
    txtExtraCA->setMinimumWidth(metrics.averageCharWidth() * 40);
    auto *form = new QVBoxLayout(this);
    form->addWidget(chkDecrypt);
    form->addWidget(lblNeverDecrypt);
    form->addWidget(txtNeverDecrypt, 1);
    form->addWidget(lblExtraCA);
    auto *caFile = new QHBoxLayout;
    caFile->addWidget(txtExtraCA, 1);
    caFile->addWidget(cmdBrowseCA);
    form->addLayout(caFile);
    form->addLayout(row({ cmdExportCA, cmdNewCA }, false));
    form->addWidget(lblTrustNote);
    form->addLayout(row({ cmdOK, cmdCancel }, true));

    if (m_decryption) {
        const HttpsSettings &settings = m_decryption->settings();
        chkDecrypt->setChecked(settings.enabled);
        txtNeverDecrypt->setPlainText(settings.neverDecryptHosts.join(QLatin1Char('\n')));
        txtExtraCA->setText(settings.extraTrustedCA);
    }

    connect(cmdBrowseCA, &QPushButton::clicked, this, &frmHttps::cmdBrowseCA_Click);
    connect(cmdExportCA, &QPushButton::clicked, this, &frmHttps::cmdExportCA_Click);
    connect(cmdNewCA, &QPushButton::clicked, this, &frmHttps::cmdNewCA_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmHttps::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmHttps::reject);
}

bool frmHttps::isHostEntry(const QString &entry)
{
    QString host = entry;
    if (host.startsWith(QLatin1String("*."))) {
        host = host.mid(2);
    } else {
        const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
        if (QHostAddress().setAddress(bracketed ? host.mid(1, host.size() - 2) : host))
            return true;
    }
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QStringView label : QStringView(host).split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        for (const QChar c : label) {
            if (c.unicode() > 127
                || !(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')))
                return false;
        }
    }
    return true;
}

void frmHttps::report(const QString &text)
{
    if (m_proxy)
        m_proxy->AddLog(text);
    MessageBox::show(this, text, MessageBox::Icon::Exclamation);
}

void frmHttps::cmdBrowseCA_Click()
{
    QPointer<frmHttps> self(this);
    QString fileName;
    const QString current = txtExtraCA->text().trimmed();
    const QString filter = QLatin1String("PEM Files (*.pem;*.crt)") + QChar(0) + QLatin1String("*.pem;*.crt")
        + QChar(0) + QLatin1String("All Files (*.*)") + QChar(0) + QLatin1String("*") + QChar(0);
    const QString chosen = cDialog().GetOpenName(this, fileName,
        current.isEmpty() ? AppFolder : QFileInfo(current).absolutePath(),
        QStringLiteral("Extra Trusted CA File"), filter);
    if (!self || chosen.isEmpty())
        return;
    txtExtraCA->setText(chosen);
}

void frmHttps::cmdExportCA_Click()
{
    if (!m_decryption)
        return;
    QPointer<frmHttps> self(this);
    QString fileName = QStringLiteral("tarnwick-ca.pem");
    const QString filter = QLatin1String("PEM Certificate (*.pem;*.crt)") + QChar(0)
        + QLatin1String("*.pem;*.crt") + QChar(0) + QLatin1String("DER Certificate (*.cer)") + QChar(0)
        + QLatin1String("*.cer") + QChar(0);
    const QString path = cDialog().GetSaveName(
        this, fileName, AppFolder, QStringLiteral("Export CA Certificate"), filter, QStringLiteral("pem"));
    if (!self || path.isEmpty())
        return;
    // Exporting before decryption was ever turned on makes the CA, as turning it on would.
    CertificateAuthority &authority = m_decryption->authority();
    QString why;
    if ((!authority.isLoaded() && !authority.load(&why)) || !authority.exportCertificate(path, &why))
        report(QStringLiteral("Unable to export the CA certificate: ") + why);
}

void frmHttps::cmdNewCA_Click()
{
    if (!m_decryption)
        return;
    QPointer<frmHttps> self(this);
    const bool yes = MessageBox::confirm(this,
        QStringLiteral("Make a new CA? Every browser and system that trusts the current one must be given "
                       "the new CA certificate before decrypted sites load again."));
    if (!self || !yes)
        return;
    QString why;
    if (!m_decryption->renewAuthority(&why))
        report(QStringLiteral("Unable to make a new CA: ") + why);
    else if (m_proxy)
        m_proxy->AddLog(
            QStringLiteral("Made a new HTTPS decryption CA: ") + m_decryption->authority().certificatePath());
}

void frmHttps::cmdOK_Click()
{
    // The message boxes run an event loop in which the owner may close this dialog.
    QPointer<frmHttps> self(this);
    HttpsSettings settings;
    settings.enabled = chkDecrypt->isChecked();
    settings.extraTrustedCA = txtExtraCA->text().trimmed();
    for (QTextBlock line = txtNeverDecrypt->document()->begin(); line.isValid(); line = line.next()) {
        const QString host = line.text().trimmed();
        if (host.isEmpty())
            continue;
        if (!isHostEntry(host)) {
            MessageBox::show(this,
                QStringLiteral("Line %1 of \"Never decrypt these hosts\" is neither a host name nor a "
                               "*.example.com pattern:\r\n\r\n%2")
                    .arg(line.blockNumber() + 1)
                    .arg(host),
                MessageBox::Icon::Exclamation);
            if (!self)
                return;
            txtNeverDecrypt->setFocus();
            QTextCursor cursor(line);
            cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            txtNeverDecrypt->setTextCursor(cursor);
            return;
        }
        settings.neverDecryptHosts.append(host);
    }
    if (!m_decryption) {
        accept();
        return;
    }

    QString why;
    const bool applied = m_decryption->apply(settings, &why);
    QString saveWhy;
    if (!m_decryption->save(&saveWhy))
        report(QStringLiteral("Unable to save the HTTPS settings: ") + saveWhy);
    if (self && !applied)
        report(QStringLiteral("HTTPS decryption is off: ") + why);
    if (self)
        accept();
}

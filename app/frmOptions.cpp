#include "frmOptions.h"

#include "CProxyServer.h"
#include "ProgramValues.h"
#include "ProxyCredentials.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
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
    , m_options(options)
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
    fraNetwork = named(new QGroupBox(QStringLiteral("Network"), this), "fraNetwork");
    const auto edit = [this](const char *name, const QString &text) {
        return named(new QLineEdit(text, fraNetwork), name);
    };
    txtAllowClients = edit("txtAllowClients", options.allowClients);
    lblAllowWarning = named(new QLabel(fraNetwork), "lblAllowWarning");
    lblAllowWarning->setWordWrap(true);
    txtProxyUser = edit("txtProxyUser", options.proxyUser);
    txtProxyPassword = edit("txtProxyPassword", QString());
    txtProxyPassword->setEchoMode(QLineEdit::Password);
    if (!options.proxyPasswordHash.isEmpty())
        txtProxyPassword->setPlaceholderText(QStringLiteral("(unchanged)"));
    txtUpstreamProxy = edit("txtUpstreamProxy", options.upstreamProxy);
    txtUpstreamProxy->setPlaceholderText(QStringLiteral("host:port (empty: connect directly)"));
    txtUpstreamUser = edit("txtUpstreamUser", options.upstreamUser);
    txtUpstreamPassword = edit("txtUpstreamPassword", options.upstreamPassword);
    txtUpstreamPassword->setEchoMode(QLineEdit::Password);
    txtUpstreamBypass = edit("txtUpstreamBypass", options.upstreamBypass.join(QStringLiteral(", ")));
    txtUpstreamBypass->setPlaceholderText(QStringLiteral("intranet.example.com, *.local"));
    auto *network = new QFormLayout(fraNetwork);
    network->addRow(QStringLiteral("&Allow clients from:"), txtAllowClients);
    network->addRow(lblAllowWarning);
    network->addRow(QStringLiteral("Proxy &user:"), txtProxyUser);
    network->addRow(QStringLiteral("Proxy pass&word:"), txtProxyPassword);
    network->addRow(QStringLiteral("&Forward through proxy:"), txtUpstreamProxy);
    network->addRow(QStringLiteral("Its u&ser:"), txtUpstreamUser);
    network->addRow(QStringLiteral("Its pa&ssword:"), txtUpstreamPassword);
    network->addRow(QStringLiteral("&Not for these hosts:"), txtUpstreamBypass);
    lblError = named(new QLabel(this), "lblError");
    lblError->setWordWrap(true);
    lblError->hide();
    connect(txtAllowClients, &QLineEdit::textChanged, this, &frmOptions::updateAllowWarning);
    updateAllowWarning();

    cmdOK = named(new QPushButton(QStringLiteral("OK"), this), "cmdOK");
    cmdCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel");
    cmdOK->setDefault(true);

    auto *limit = new QHBoxLayout;
    limit->addWidget(lblLimit);
    limit->addWidget(spnLimit);
    limit->addWidget(lblRows);
    limit->addStretch(1);
    auto *modes = new QVBoxLayout(fraLimitMode);
    // Kept to their text's width: a click beside the text of a stretched button does nothing.
    modes->addWidget(optClear, 0, Qt::AlignLeft);
    modes->addWidget(optOldest, 0, Qt::AlignLeft);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *form = new QVBoxLayout(this);
    form->addLayout(limit);
    form->addWidget(fraLimitMode);
    form->addWidget(chkKeepHistory);
    form->addWidget(fraNetwork);
    form->addWidget(lblError);
    form->addStretch(1);
    form->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::reject);
}

void frmOptions::updateAllowWarning()
{
    const auto allowed = ClientAllowList::parse(txtAllowClients->text());
    const QString warning = allowed ? CProxyServer::refusedMachinesWarning(ServerIP, *allowed) : QString();
    lblAllowWarning->setText(warning);
    lblAllowWarning->setVisible(!warning.isEmpty());
}

void frmOptions::cmdOK_Click()
{
    QString why;
    if (!ClientAllowList::parse(txtAllowClients->text(), &why))
        why = QStringLiteral("Allow clients from: ") + why;
    else if (!txtUpstreamProxy->text().trimmed().isEmpty()
        && !UpstreamProxy::parseEndpoint(txtUpstreamProxy->text()))
        why = QStringLiteral("Forward through proxy: give host:port");
    else if (txtProxyUser->text().contains(QLatin1Char(':'))
        || txtUpstreamUser->text().contains(QLatin1Char(':')))
        why = QStringLiteral("A user name cannot hold a colon");
    else if (!txtProxyUser->text().isEmpty() && txtProxyPassword->text().isEmpty()
        && m_options.proxyPasswordHash.isEmpty())
        why = QStringLiteral("Proxy password: give one for the user");
    lblError->setText(why);
    lblError->setVisible(!why.isEmpty());
    if (!why.isEmpty())
        return;
    // Hashed once, here: the typed password goes no further than this dialog.
    if (!txtProxyPassword->text().isEmpty()) {
        m_options.proxyPasswordHash = ProxyCredentials::hashPassword(txtProxyPassword->text());
        txtProxyPassword->clear();
    }
    accept();
}

Options frmOptions::options() const
{
    Options options = m_options;
    options.historyLimit = spnLimit->value();
    options.historyMode
        = optOldest->isChecked() ? HistoryModel::LimitMode::Oldest : HistoryModel::LimitMode::Clear;
    options.keepHistory = chkKeepHistory->isChecked();
    if (const auto allowed = ClientAllowList::parse(txtAllowClients->text()))
        options.allowClients = allowed->text();
    options.proxyUser = txtProxyUser->text();
    if (options.proxyUser.isEmpty())
        options.proxyPasswordHash.clear();
    options.upstreamProxy = txtUpstreamProxy->text().trimmed();
    options.upstreamUser = txtUpstreamUser->text();
    options.upstreamPassword = txtUpstreamPassword->text();
    options.upstreamBypass.clear();
    for (const QString &entry : txtUpstreamBypass->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!entry.trimmed().isEmpty())
            options.upstreamBypass.append(entry.trimmed());
    return options;
}

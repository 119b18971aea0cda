#include "frmSettings.h"

#include "CProxyServer.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "Twips.h"
#include "cDialog.h"

#include <QGroupBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {
void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(Twips::toPixelsX(left, widget), Twips::toPixelsY(top, widget),
        Twips::toPixelsX(width, widget), Twips::toPixelsY(height, widget));
}

// The width a line edit needs to show text whole, frame and inner margins included.
int lineEditWidthFor(const QLineEdit *edit, const QString &text)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QMargins margins = edit->textMargins();
    // QLineEdit keeps two pixels free on each side of its text, and one for the cursor.
    const int contents
        = edit->fontMetrics().horizontalAdvance(text) + 4 + 1 + margins.left() + margins.right();
    return edit->style()
        ->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(contents, edit->height()), edit)
        .width();
}

void growTo(QWidget *widget, int width, int height)
{
    widget->resize(qMax(widget->width(), width), qMax(widget->height(), height));
}

void keepBelow(QWidget *widget, const QWidget *above, int gap)
{
    widget->move(widget->x(), qMax(widget->y(), above->geometry().bottom() + 1 + gap));
}

void keepRightOf(QWidget *widget, const QWidget *left, int gap)
{
    widget->move(qMax(widget->x(), left->geometry().right() + 1 + gap), widget->y());
}

template <typename T> T *control(QWidget *parent, const char *name, const QString &text)
{
    auto *widget = new T(text, parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}
} // namespace

frmSettings::frmSettings(CProxyServer *proxy, QWidget *owner)
    : QDialog(owner,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_proxy(proxy)
{
    setObjectName(QStringLiteral("frmSettings"));
    setWindowTitle(QStringLiteral("Settings"));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    Label2 = control<QLabel>(this, "Label2",
        QStringLiteral("Tarnwick sets itself up as a proxy server to intercept web connections. "
                       "If you have multiple network cards you may need to change the IP "
                       "address below:"));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Label2, 120, 90, 3585, 930);

    Frame1 = control<QGroupBox>(this, "Frame1", QStringLiteral("Tarnwick Proxy Server Setup"));
    place(Frame1, 75, 1125, 3645, 1380);
    Label1 = control<QLabel>(Frame1, "Label1", QStringLiteral("IP Address for Server:"));
    place(Label1, 285, 420, 1545, 195);
    txtIP = control<QLineEdit>(Frame1, "txtIP", QString());
    place(txtIP, 300, 660, 2235, 285);
    Label3 = control<QLabel>(Frame1, "Label3", QStringLiteral("Local Port:"));
    place(Label3, 2505, 390, 780, 195);
    txtPort = control<QLineEdit>(Frame1, "txtPort", QStringLiteral("5000"));
    place(txtPort, 2610, 645, 555, 300);
    // The server keeps listening where it started; these two are read at the next start.
    lblRestartNote = control<QLabel>(
        Frame1, "lblRestartNote", QStringLiteral("Address and port take effect at the next start."));
    lblRestartNote->setWordWrap(true);
    QFont smaller = lblRestartNote->font();
    if (smaller.pointSizeF() > 0)
        smaller.setPointSizeF(smaller.pointSizeF() * 0.85);
    lblRestartNote->setFont(smaller);
    place(lblRestartNote, 285, 1000, 3285, 345);

    Label4 = control<QLabel>(this, "Label4", QStringLiteral("Log Filename: (Leave Blank for No Log File)"));
    place(Label4, 120, 2685, 3105, 195);
    txtLogFile = control<QLineEdit>(this, "txtLogFile", QString());
    place(txtLogFile, 105, 2925, 3225, 285);
    cmdGetFolder = control<QPushButton>(this, "cmdGetFolder", QStringLiteral("..."));
    place(cmdGetFolder, 3420, 2940, 300, 255);
    cmdOK = control<QPushButton>(this, "cmdOK", QStringLiteral("OK"));
    place(cmdOK, 1650, 3465, 1005, 360);
    cmdCancel = control<QPushButton>(this, "cmdCancel", QStringLiteral("Cancel"));
    place(cmdCancel, 2715, 3465, 1005, 360);
    cmdOK->setDefault(true);

    setTabOrder(txtIP, txtPort);
    setTabOrder(txtPort, txtLogFile);
    setTabOrder(txtLogFile, cmdGetFolder);
    setTabOrder(cmdGetFolder, cmdOK);
    setTabOrder(cmdOK, cmdCancel);

    fitToTexts();

    txtIP->setText(ServerIP);
    txtPort->setText(QString::number(ServerPort));
    txtLogFile->setText(LogFileName);

    connect(cmdGetFolder, &QPushButton::clicked, this, &frmSettings::cmdGetFolder_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmSettings::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);
}

void frmSettings::fitToTexts()
{
    const int gap = Twips::toPixelsY(45, this);
    for (QLabel *label : { Label1, Label3, Label4 })
        growTo(label, label->sizeHint().width(), label->sizeHint().height());
    for (QLabel *label : { Label2, lblRestartNote })
        growTo(label, 0, label->heightForWidth(label->width()));
    for (QLineEdit *edit : { txtIP, txtPort, txtLogFile })
        growTo(edit, 0, edit->sizeHint().height());
    growTo(txtIP, lineEditWidthFor(txtIP, QStringLiteral("255.255.255.255")), 0);
    growTo(txtPort, lineEditWidthFor(txtPort, QStringLiteral("65535")), 0);
    for (QPushButton *button : { cmdGetFolder, cmdOK, cmdCancel })
        growTo(button, 0, button->sizeHint().height());

    // Inside the frame: the port column right of the address column, the note below both.
    keepRightOf(Label3, Label1, gap);
    keepRightOf(txtPort, txtIP, gap);
    txtPort->move(qMax(txtPort->x(), Label3->x()), txtPort->y());
    keepBelow(txtIP, Label1, 0);
    keepBelow(txtPort, Label3, 0);
    keepBelow(lblRestartNote, txtIP, 0);
    keepBelow(lblRestartNote, txtPort, 0);
    const QRect inside = Label1->geometry() | txtIP->geometry() | Label3->geometry() | txtPort->geometry()
        | lblRestartNote->geometry();
    growTo(Frame1, inside.right() + 1 + gap, inside.bottom() + 1 + gap);

    keepBelow(Frame1, Label2, gap);
    keepBelow(Label4, Frame1, gap);
    keepBelow(txtLogFile, Label4, 0);
    keepBelow(cmdGetFolder, Label4, 0);
    keepRightOf(cmdGetFolder, txtLogFile, gap);
    keepBelow(cmdOK, txtLogFile, gap);
    keepBelow(cmdOK, cmdGetFolder, gap);
    cmdCancel->move(cmdCancel->x(), cmdOK->y());
    keepRightOf(cmdCancel, cmdOK, gap);

    QRect all;
    for (const QWidget *widget :
        { static_cast<QWidget *>(Label2), static_cast<QWidget *>(Frame1), static_cast<QWidget *>(Label4),
            static_cast<QWidget *>(cmdGetFolder), static_cast<QWidget *>(cmdCancel) })
        all |= widget->geometry();
    setFixedSize(qMax(Twips::toPixelsX(3810, this), all.right() + 1 + gap),
        qMax(Twips::toPixelsY(3885, this), all.bottom() + 1 + gap));
}

std::optional<qint32> frmSettings::parsePort(const QString &text)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 5)
        return std::nullopt;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const qint32 port = digits.toInt();
    if (port > 65535)
        return std::nullopt;
    return port;
}

bool frmSettings::isAcceptableAddress(const QString &text)
{
    if (text.isEmpty())
        return true;
    QHostAddress address;
    return address.setAddress(text);
}

void frmSettings::cmdGetFolder_Click()
{
    QPointer<frmSettings> self(this);
    QString filename = QStringLiteral("TarnwickLog.txt");
    const QString filter = QLatin1String("Text Files (*.txt)") + QChar(0) + QLatin1String("*.txt") + QChar(0);
    cDialog dialog;
    const QString chosen = dialog.GetSaveName(
        this, filename, AppFolder, QStringLiteral("Log File Location"), filter, QStringLiteral("txt"));
    if (!self)
        return;
    txtLogFile->setText(chosen);
    txtLogFile->setFocus();
}

void frmSettings::cmdOK_Click()
{
    // The message boxes run an event loop in which the owner may close this dialog.
    QPointer<frmSettings> self(this);
    const QString address = txtIP->text().trimmed();
    const std::optional<qint32> port = parsePort(txtPort->text());
    if (!port) {
        MessageBox::show(this, QStringLiteral("The local port must be a whole number from 0 to 65535."),
            MessageBox::Icon::Exclamation);
        if (!self)
            return;
        txtPort->setFocus();
        txtPort->selectAll();
        return;
    }
    if (!isAcceptableAddress(address)) {
        MessageBox::show(this,
            QStringLiteral("The IP address must be empty or a valid IPv4 or IPv6 address."),
            MessageBox::Icon::Exclamation);
        if (!self)
            return;
        txtIP->setFocus();
        txtIP->selectAll();
        return;
    }

    ServerIP = address;
    ServerPort = *port;
    const QString logFile = txtLogFile->text();
    if (logFile != LogFileName && m_proxy)
        m_proxy->setAccessLogFile(logFile);
    LogFileName = logFile;
    accept();
}

void frmSettings::cmdCancel_Click()
{
    reject();
}

#include "frmRequestEditor.h"

#include "CRequest.h"
#include "RecordMessage.h"
#include "ReplyFraming.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>

namespace {
template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// The head as lines without their ends: typed lines may end in LF alone; blank lines at the end
// are the editor's, not the message's.
QList<QByteArray> headLines(const QString &head)
{
    QList<QByteArray> lines = head.toUtf8().split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray fieldName(const QByteArray &line)
{
    const qsizetype colon = line.indexOf(':');
    return colon < 0 ? QByteArray() : line.left(colon).trimmed().toLower();
}

// Sets the first field of that name, or adds one after the others (at after, when given).
void setField(QList<QByteArray> &lines, const QByteArray &name, const QByteArray &value, qsizetype after = -1)
{
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (fieldName(lines[i]) == name.toLower()) {
            lines[i] = lines[i].left(lines[i].indexOf(':')) + ": " + value;
            return;
        }
    }
    lines.insert(after < 0 ? lines.size() : after, name + ": " + value);
}

bool hasField(const QList<QByteArray> &lines, const char *name)
{
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (fieldName(lines[i]) == name)
            return true;
    return false;
}

// The fields about the body follow it, unless the user says otherwise or a transfer coding frames it.
void updateLength(QList<QByteArray> &lines, const QByteArray &body)
{
    if (hasField(lines, "content-length") || (!body.isEmpty() && !hasField(lines, "transfer-encoding")))
        setField(lines, "Content-Length", QByteArray::number(body.size()));
}

QByteArray joined(const QList<QByteArray> &lines, const QByteArray &body)
{
    return lines.join("\r\n") + "\r\n\r\n" + body;
}

bool defaultPort(bool secure, quint16 port)
{
    return port == (secure ? 443 : 80);
}
} // namespace

frmRequestEditor::Built frmRequestEditor::buildRequest(const Draft &draft)
{
    Built built;
    bool portOk = false;
    const uint port = draft.port.trimmed().toUInt(&portOk);
    if (!portOk || port < 1 || port > 65535) {
        built.error = QStringLiteral("The port must be a number from 1 to 65535");
        return built;
    }
    const QString host = draft.host.trimmed();
    const QByteArray hostText = host.contains(u':') ? "[" + host.toUtf8() + "]" : host.toUtf8();
    const QByteArray authority
        = defaultPort(draft.secure, quint16(port)) ? hostText : hostText + ':' + QByteArray::number(port);

    QList<QByteArray> lines = headLines(draft.head);
    if (lines.isEmpty())
        lines.append(QByteArray());
    QList<QByteArray> words = lines[0].split(' ');
    if (words.size() == 3) {
        QByteArray path = words[1];
        const qsizetype scheme = path.indexOf("://");
        if (scheme > 0 && !path.left(scheme).contains('/')) {
            const qsizetype end = path.indexOf('/', scheme + 3);
            const qsizetype query = path.indexOf('?', scheme + 3);
            const qsizetype cut = end < 0 ? query : (query < 0 ? end : qMin(end, query));
            path = cut < 0 ? QByteArray("/") : path.mid(cut);
        }
        // The path goes after the authority: one typed without its slash would join the host.
        if (!path.startsWith('/') && path != "*")
            path.prepend('/');
        words[1] = draft.secure ? path : "http://" + authority + path;
        lines[0] = words.join(' ');
    }
    setField(lines, "Host", authority, 1);
    if (draft.updateLength)
        updateLength(lines, draft.body);
    built.message = joined(lines, draft.body);

    std::optional<HttpTarget> origin;
    if (draft.secure) {
        origin = HttpTarget::fromUrl("https://" + authority + "/");
        if (!origin) {
            // The parser says what is wrong with a request that has no server to go to.
            origin = HttpTarget();
            origin->secure = true;
        }
        built.origin = *origin;
    }
    built.error = CRequest::check(built.message, origin);
    return built;
}

frmRequestEditor::Built frmRequestEditor::buildReply(const Draft &draft, bool headRequest)
{
    Built built;
    QList<QByteArray> lines = headLines(draft.head);
    // A reply to HEAD tells the length of a body it does not carry.
    if (draft.updateLength && !headRequest && !lines.isEmpty())
        updateLength(lines, draft.body);
    built.message = joined(lines, draft.body);
    built.error = ReplyFraming::check(built.message, headRequest);
    return built;
}

frmRequestEditor::Draft frmRequestEditor::draftOf(const QByteArray &message, const QString &fullUrl)
{
    Draft draft;
    const RecordMessage parsed = RecordMessage::parse(message);
    const QByteArray head = parsed.headerSize < 0 ? message : message.left(parsed.headerSize);
    draft.head = QString::fromUtf8(head).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).trimmed()
        + QLatin1Char('\n');
    draft.body = parsed.body;
    QByteArray url = fullUrl.toUtf8();
    if (url.isEmpty() && parsed.word(1).contains("://"))
        url = parsed.word(1);
    else if (url.isEmpty() && parsed.hasHeader("Host"))
        url = "http://" + parsed.header("Host") + "/";
    if (const std::optional<HttpTarget> target = HttpTarget::fromUrl(url)) {
        draft.secure = target->secure;
        draft.host = target->host;
        draft.port = QString::number(target->port);
    }
    return draft;
}

bool frmRequestEditor::isText(const QByteArray &body)
{
    const QString text = QString::fromUtf8(body);
    if (text.toUtf8() != body)
        return false;
    // The text box keeps neither CR nor other control characters, and gives some spaces back plain.
    return std::none_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c.category() == QChar::Other_Control && c != u'\n' && c != u'\t') || c == QChar::Nbsp
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
    });
}

QString frmRequestEditor::toHex(const QByteArray &bytes)
{
    QString text;
    for (qsizetype at = 0; at < bytes.size(); at += 16)
        text += QString::fromLatin1(bytes.mid(at, 16).toHex(' ')) + QLatin1Char('\n');
    return text;
}

std::optional<QByteArray> frmRequestEditor::fromHex(const QString &text)
{
    QByteArray digits;
    for (const QChar c : text) {
        if (std::isxdigit(c.toLatin1()))
            digits += c.toLatin1();
        else if (!c.isSpace())
            return std::nullopt;
    }
    if (digits.size() % 2 != 0)
        return std::nullopt;
    return QByteArray::fromHex(digits);
}

frmRequestEditor::frmRequestEditor(Mode mode, const Draft &draft, QWidget *owner, bool headRequest)
    : QDialog(
        owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint)
    , m_mode(mode)
    , m_initial(draft)
    , m_headRequest(headRequest)
{
    setObjectName(QStringLiteral("frmRequestEditor"));
    setAttribute(Qt::WA_DeleteOnClose);
    static const char *titles[] = { "New Request", "Edit and Resend", "Held Request", "Held Reply" };
    setWindowTitle(QLatin1String(titles[int(mode)]));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());
    const bool held = mode == Mode::HeldRequest || mode == Mode::HeldReply;

    cboScheme = named(new QComboBox(this), "cboScheme");
    cboScheme->addItems({ QStringLiteral("http"), QStringLiteral("https") });
    cboScheme->setCurrentIndex(draft.secure ? 1 : 0);
    txtHost = named(new QLineEdit(draft.host, this), "txtHost");
    txtPort = named(new QLineEdit(draft.port, this), "txtPort");
    txtPort->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000")));
    connect(cboScheme, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (txtPort->text() == QLatin1String(index ? "80" : "443"))
            txtPort->setText(QLatin1String(index ? "443" : "80"));
    });
    txtHead = named(new QPlainTextEdit(draft.head, this), "txtHead");
    tabBodyView = named(new QTabBar(this), "tabBodyView");
    tabBodyView->setDocumentMode(true);
    tabBodyView->setExpanding(false);
    tabBodyView->addTab(QStringLiteral("Text"));
    tabBodyView->addTab(QStringLiteral("Hex"));
    txtBody = named(new QPlainTextEdit(this), "txtBody");
    m_bodyView = isText(draft.body) ? 0 : 1;
    txtBody->setPlainText(m_bodyView == 0 ? QString::fromUtf8(draft.body) : toHex(draft.body));
    tabBodyView->setCurrentIndex(m_bodyView);
    connect(tabBodyView, &QTabBar::currentChanged, this, &frmRequestEditor::bodyViewChanged);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    txtHead->setFont(fixed);
    txtBody->setFont(fixed);
    txtHead->setLineWrapMode(QPlainTextEdit::NoWrap);
    chkUpdateLength = named(new QCheckBox(QStringLiteral("&Update Content-Length"), this), "chkUpdateLength");
    chkUpdateLength->setChecked(draft.updateLength);
    lblError = named(new QLabel(this), "lblError");
    lblError->setWordWrap(true);
    lblError->setStyleSheet(QStringLiteral("color: #b00000"));
    cmdSend = named(new QPushButton(QStringLiteral("&Send"), this), "cmdSend");
    cmdContinue = named(new QPushButton(QStringLiteral("C&ontinue"), this), "cmdContinue");
    cmdAbort = named(new QPushButton(QStringLiteral("&Abort"), this), "cmdAbort");
    cmdCancel = named(
        new QPushButton(held ? QStringLiteral("Close") : QStringLiteral("Cancel"), this), "cmdCancel");
    cmdSend->setVisible(!held);
    cmdContinue->setVisible(held);
    cmdAbort->setVisible(held);
    (held ? cmdContinue : cmdSend)->setDefault(true);

    auto *server = new QHBoxLayout;
    server->addWidget(cboScheme);
    server->addWidget(new QLabel(QStringLiteral("://"), this));
    server->addWidget(txtHost, 1);
    server->addWidget(new QLabel(QStringLiteral(":"), this));
    server->addWidget(txtPort);
    // A held exchange goes on with the server it was stopped on.
    for (QWidget *box : { static_cast<QWidget *>(cboScheme), static_cast<QWidget *>(txtHost),
             static_cast<QWidget *>(txtPort) })
        box->setEnabled(!held);

    auto *bodyPane = new QWidget(this);
    auto *bodyLayout = new QVBoxLayout(bodyPane);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->addWidget(tabBodyView, 0, Qt::AlignLeft);
    bodyLayout->addWidget(txtBody, 1);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(txtHead);
    split->addWidget(bodyPane);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(chkUpdateLength);
    buttons->addStretch(1);
    for (QPushButton *button : { cmdSend, cmdContinue, cmdAbort, cmdCancel })
        buttons->addWidget(button);
    auto *form = new QVBoxLayout(this);
    form->addLayout(server);
    // A reply goes back on the connection it came for: there is no server to choose.
    for (int i = 0; mode == Mode::HeldReply && i < server->count(); ++i)
        if (QWidget *widget = server->itemAt(i)->widget())
            widget->hide();
    form->addWidget(split, 1);
    form->addWidget(lblError);
    form->addLayout(buttons);
    resize(640, 480);

    connect(cmdSend, &QPushButton::clicked, this, &frmRequestEditor::send);
    connect(cmdContinue, &QPushButton::clicked, this, [this] { decide(false); });
    connect(cmdAbort, &QPushButton::clicked, this, [this] { decide(true); });
    connect(cmdCancel, &QPushButton::clicked, this, &frmRequestEditor::reject);
}

std::optional<frmRequestEditor::Draft> frmRequestEditor::draft() const
{
    Draft draft;
    draft.secure = cboScheme->currentIndex() == 1;
    draft.host = txtHost->text();
    draft.port = txtPort->text();
    draft.head = txtHead->toPlainText();
    draft.updateLength = chkUpdateLength->isChecked();
    if (m_bodyView == 0) {
        draft.body = txtBody->toPlainText().toUtf8();
        return draft;
    }
    const std::optional<QByteArray> body = fromHex(txtBody->toPlainText());
    if (!body)
        return std::nullopt;
    draft.body = *body;
    return draft;
}

void frmRequestEditor::bodyViewChanged(int index)
{
    if (index == m_bodyView)
        return;
    const std::optional<Draft> current = draft();
    QString why;
    if (!current)
        why = QStringLiteral("The body is not hex: pairs of the digits 0-9 and a-f");
    else if (index == 0 && !isText(current->body))
        why = QStringLiteral("The body is not text; it stays in hex");
    if (!why.isEmpty()) {
        lblError->setText(why);
        const QSignalBlocker blocker(tabBodyView);
        tabBodyView->setCurrentIndex(m_bodyView);
        return;
    }
    lblError->clear();
    m_bodyView = index;
    txtBody->setPlainText(index == 0 ? QString::fromUtf8(current->body) : toHex(current->body));
}

std::optional<frmRequestEditor::Built> frmRequestEditor::built()
{
    const std::optional<Draft> current = draft();
    if (!current) {
        lblError->setText(QStringLiteral("The body is not hex: pairs of the digits 0-9 and a-f"));
        return std::nullopt;
    }
    Built built = m_mode == Mode::HeldReply ? buildReply(*current, m_headRequest) : buildRequest(*current);
    if (!built.error.isEmpty()) {
        lblError->setText(built.error);
        return std::nullopt;
    }
    lblError->clear();
    return built;
}

void frmRequestEditor::send()
{
    const std::optional<Built> request = built();
    if (!request)
        return;
    emit sendRequested({ request->message, request->origin });
    accept();
}

void frmRequestEditor::decide(bool abort)
{
    CProxyServer::HoldDecision decision;
    decision.abort = abort;
    if (!abort) {
        if (draft() != m_initial) {
            const std::optional<Built> edited = built();
            if (!edited)
                return;
            decision.edited = edited->message;
        }
    }
    emit decided(decision);
    accept();
}

#include "frmHeld.h"

#include "RecordMessage.h"
#include "frmRequestEditor.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}
} // namespace

frmHeld::frmHeld(CProxyServer *proxy, QWidget *owner)
    : QDialog(owner, Qt::Window)
    , m_proxy(proxy)
{
    setObjectName(QStringLiteral("frmHeld"));
    setWindowTitle(QStringLiteral("Held Exchanges"));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    lstHeld = named(new QTreeWidget(this), "lstHeld");
    lstHeld->setHeaderLabels({ QStringLiteral("Held before"), QStringLiteral("URL") });
    lstHeld->setRootIsDecorated(false);
    lstHeld->header()->setStretchLastSection(true);
    cmdEdit = named(new QPushButton(QStringLiteral("&Edit..."), this), "cmdEdit");
    cmdContinue = named(new QPushButton(QStringLiteral("C&ontinue"), this), "cmdContinue");
    cmdAbort = named(new QPushButton(QStringLiteral("&Abort"), this), "cmdAbort");
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton *button : { cmdEdit, cmdContinue, cmdAbort })
        buttons->addWidget(button);
    auto *form = new QVBoxLayout(this);
    form->addWidget(lstHeld, 1);
    form->addLayout(buttons);
    resize(560, 240);

    connect(lstHeld, &QTreeWidget::itemDoubleClicked, this, &frmHeld::editSelected);
    connect(cmdEdit, &QPushButton::clicked, this, &frmHeld::editSelected);
    connect(cmdContinue, &QPushButton::clicked, this, [this] { release(selectedId(), {}); });
    connect(cmdAbort, &QPushButton::clicked, this, [this] { release(selectedId(), { true, std::nullopt }); });
}

void frmHeld::exchangeHeld(const CProxyServer::HeldExchange &held)
{
    m_held.insert(held.id, held);
    auto *item = new QTreeWidgetItem(lstHeld,
        { held.atReply ? QStringLiteral("the reply") : QStringLiteral("the request"), held.fullUrl });
    item->setData(0, Qt::UserRole, held.id);
    if (!lstHeld->currentItem())
        lstHeld->setCurrentItem(item);
    show();
    raise();
}

void frmHeld::holdEnded(quint64 id, const QString &how)
{
    Q_UNUSED(how);
    m_held.remove(id);
    for (int row = 0; row < lstHeld->topLevelItemCount(); ++row)
        if (lstHeld->topLevelItem(row)->data(0, Qt::UserRole).toULongLong() == id)
            delete lstHeld->takeTopLevelItem(row--);
    // Whatever the editor holds can no longer go anywhere.
    if (editor && m_editorId == id)
        editor->close();
}

quint64 frmHeld::selectedId() const
{
    const QTreeWidgetItem *item = lstHeld->currentItem();
    return item ? item->data(0, Qt::UserRole).toULongLong() : 0;
}

void frmHeld::release(quint64 id, const CProxyServer::HoldDecision &decision)
{
    if (m_proxy && m_held.contains(id))
        m_proxy->releaseHeld(id, decision);
}

void frmHeld::editSelected()
{
    const quint64 id = selectedId();
    const auto found = m_held.constFind(id);
    if (found == m_held.cend())
        return;
    if (editor)
        editor->close();
    const CProxyServer::HeldExchange &held = *found;
    const bool head = RecordMessage::parse(held.request).word(0) == "HEAD";
    editor = new frmRequestEditor(
        held.atReply ? frmRequestEditor::Mode::HeldReply : frmRequestEditor::Mode::HeldRequest,
        frmRequestEditor::draftOf(held.atReply ? held.reply : held.request, held.fullUrl), this, head);
    m_editorId = id;
    connect(editor, &frmRequestEditor::decided, this,
        [this, id](const CProxyServer::HoldDecision &decision) { release(id, decision); });
    editor->show();
}

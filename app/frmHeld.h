#pragma once

#include "CProxyServer.h"

#include <QDialog>
#include <QHash>
#include <QPointer>

class QPushButton;
class QTreeWidget;
class frmRequestEditor;

// The exchanges held at breakpoints, as they arrive; each leaves the list once the proxy says its
// hold ended. Not modal: the user works through them while the proxy goes on with the rest.
class frmHeld : public QDialog
{
    Q_OBJECT

public:
    frmHeld(CProxyServer *proxy, QWidget *owner);

    void exchangeHeld(const CProxyServer::HeldExchange &held);
    void holdEnded(quint64 id, const QString &how);
    // Opens the editor on the selected exchange.
    void editSelected();

    QTreeWidget *lstHeld = nullptr;
    QPushButton *cmdEdit = nullptr;
    QPushButton *cmdContinue = nullptr;
    QPushButton *cmdAbort = nullptr;
    // The editor open on a held exchange, if any.
    QPointer<frmRequestEditor> editor;

private:
    // The selected exchange's id, 0 when none.
    quint64 selectedId() const;
    void release(quint64 id, const CProxyServer::HoldDecision &decision);

    QPointer<CProxyServer> m_proxy;
    QHash<quint64, CProxyServer::HeldExchange> m_held;
    quint64 m_editorId = 0;
};

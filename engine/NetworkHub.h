#pragma once

#include "CProxyServer.h"
#include "EventSocket.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class CProxyConnection;
class CProxyServer;
class UpstreamPool;

// One network thread's share of the proxy: the browser connections it was handed, which stay on
// it for life with everything they open, its pool of server connections and its idle sweep.
// It lives on its thread and is only called there; the server reaches it with queued calls.
class NetworkHub : public QObject
{
    Q_OBJECT

public:
    explicit NetworkHub(CProxyServer *server);
    ~NetworkHub() override;

    // A connection the listener accepted, already moved to this thread.
    void adopt(const EventSocket::Handoff &handoff, qint32 requestID);
    // Requests the user sends again, served like a connection of this thread.
    void adoptResend(const QList<CProxyServer::ResendItem> &items, qint32 requestID);
    // Takes the connection out of this thread's table; false when it was not there.
    bool remove(qint32 requestID);
    // Ends every connection at once and deletes the hub; the thread may stop afterwards.
    void shutdown();
    UpstreamPool *pool() const;

protected:
    // Calls posted by the server.
    void customEvent(QEvent *event) override;

private:
    // Puts a connection in this thread's table, and sweeps the table from now on.
    void track(const std::shared_ptr<CProxyConnection> &connection);
    void sweep();

    CProxyServer *m_server;
    UpstreamPool *m_pool;
    QTimer *m_sweep;
    std::vector<std::shared_ptr<CProxyConnection>> m_table;
};

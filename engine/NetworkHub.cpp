#include "NetworkHub.h"

#include "CProxyConnection.h"
#include "CProxyServer.h"
#include "CrossThread.h"
#include "EventSocket.h"
#include "UpstreamPool.h"

#include <QTcpSocket>

#include <algorithm>

NetworkHub::NetworkHub(CProxyServer *server)
    : m_server(server)
    , m_pool(new UpstreamPool(this))
    , m_sweep(new QTimer(this))
{
    m_sweep->setInterval(CProxyServer::SweepInterval);
    connect(m_sweep, &QTimer::timeout, this, &NetworkHub::sweep);
}

NetworkHub::~NetworkHub() = default;

void NetworkHub::adopt(const EventSocket::Handoff &handoff, qint32 requestID)
{
    const auto connection = CProxyConnection::create();
    track(connection);
    try {
        connection->Attach(requestID, m_server, handoff);
    } catch (const std::exception &e) {
        m_server->AddLog(QStringLiteral("Proxy Server Error: ") + QString::fromLocal8Bit(e.what()));
        m_server->RemoveRequest(requestID);
    }
}

void NetworkHub::adoptResend(const QList<CProxyServer::ResendItem> &items, qint32 requestID)
{
    const auto connection = CProxyConnection::create();
    track(connection);
    connection->startResend(requestID, m_server, items);
}

void NetworkHub::track(const std::shared_ptr<CProxyConnection> &connection)
{
    m_table.push_back(connection);
    if (!m_sweep->isActive())
        m_sweep->start();
}

bool NetworkHub::remove(qint32 requestID)
{
    const auto it = std::find_if(m_table.begin(), m_table.end(),
        [&](const auto &connection) { return connection->RequestID() == requestID; });
    if (it == m_table.end())
        return false;
    // The connection may be running the handler that asked for its removal; its deleter defers
    // the deletion until that handler has returned.
    const auto removed = *it;
    m_table.erase(it);
    removed->dropOrphanRecords();
    return true;
}

void NetworkHub::shutdown()
{
    m_sweep->stop();
    std::vector<std::shared_ptr<CProxyConnection>> table;
    table.swap(m_table);
    for (const auto &connection : table)
        connection->Shutdown();
    table.clear();
    EventSocket::abortDraining();
    deleteLater();
    CrossThread::published(thread());
}

void NetworkHub::customEvent(QEvent *event)
{
    CrossThread::deliver(event);
}

UpstreamPool *NetworkHub::pool() const
{
    return m_pool;
}

void NetworkHub::sweep()
{
    // A connection that times out removes itself; walking a copy checks each of them all the same.
    const auto snapshot = m_table;
    for (const auto &connection : snapshot)
        connection->CheckTimeout();
    m_pool->closeIdle(qint64(m_server->Timeout()) * 1000);
    if (m_table.empty())
        m_sweep->stop();
}

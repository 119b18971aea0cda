#include "UpstreamPool.h"

#include "Clock.h"
#include "EventSocket.h"

UpstreamPool::UpstreamPool(QObject *parent)
    : QObject(parent)
{ }

UpstreamPool::~UpstreamPool()
{
    for (const auto &kept : std::as_const(m_idle))
        for (const Idle &idle : kept)
            idle.socket->Close();
}

EventSocket *UpstreamPool::take(const QString &server)
{
    const auto it = m_idle.find(server);
    if (it == m_idle.end())
        return nullptr;
    EventSocket *socket = it->back().socket;
    it->pop_back();
    if (it->empty())
        m_idle.erase(it);
    disconnect(socket, nullptr, this, nullptr);
    return socket;
}

void UpstreamPool::give(const QString &server, EventSocket *socket)
{
    if (socket->State() != EventSocket::sckConnected)
        return discard(socket);
    socket->setParent(this);
    socket->setReadPaused(false);
    std::deque<Idle> &kept = m_idle[server];
    if (kept.size() >= size_t(MaxIdlePerServer)) {
        discard(kept.front().socket);
        kept.pop_front();
    }
    kept.push_back({ socket, Clock::tickCount() });
    // Whatever a server does with an idle connection ends it: a close, an error, or bytes that
    // no request asked for.
    const auto gone = [this, socket] { drop(socket); };
    connect(socket, &EventSocket::Closed, this, gone);
    connect(socket, &EventSocket::peerFinished, this, gone);
    connect(socket, &EventSocket::DataArrival, this, gone);
    connect(socket, &EventSocket::Error, this, gone);
}

void UpstreamPool::closeIdle(qint64 idleMs)
{
    const qint64 now = Clock::tickCount();
    for (auto it = m_idle.begin(); it != m_idle.end();) {
        while (!it->empty() && now - it->front().since > idleMs) {
            discard(it->front().socket);
            it->pop_front();
        }
        it = it->empty() ? m_idle.erase(it) : std::next(it);
    }
}

int UpstreamPool::idleCount(const QString &server) const
{
    return int(m_idle.value(server).size());
}

void UpstreamPool::drop(EventSocket *socket)
{
    for (auto it = m_idle.begin(); it != m_idle.end(); ++it) {
        for (auto idle = it->begin(); idle != it->end(); ++idle) {
            if (idle->socket != socket)
                continue;
            it->erase(idle);
            if (it->empty())
                m_idle.erase(it);
            return discard(socket);
        }
    }
}

void UpstreamPool::discard(EventSocket *socket)
{
    socket->disconnect();
    socket->Close();
    // Not deleted at once: the socket may be raising the event that dropped it.
    socket->deleteLater();
}

#include "UpstreamPool.h"

#include "Clock.h"
#include "EventSocket.h"
#include "Http2Client.h"

#include <QTimer>

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
    for (const QList<QPointer<Http2Client>> &sessions : std::as_const(m_sessions))
        for (const QPointer<Http2Client> &session : sessions)
            if (session)
                session->closeIfIdle(idleMs);
}

void UpstreamPool::giveSession(const QString &server, Http2Client *session)
{
    session->setParent(this);
    m_connecting.insert(server, m_connecting.value(server));
    if (session->isGone())
        return;
    // Counted from the newest, the new one first. Those past the bound are closed once it is in
    // the list, so that the list stays while they leave it.
    QList<QPointer<Http2Client>> surplus;
    int idle = 1;
    QList<QPointer<Http2Client>> &kept = m_sessions[server];
    for (auto it = kept.crbegin(); it != kept.crend(); ++it) {
        if (*it && (*it)->activeStreams() == 0 && ++idle > MaxIdleSessionsPerServer)
            surplus.append(*it);
    }
    kept.append(session);
    for (const QPointer<Http2Client> &old : std::as_const(surplus)) {
        if (old)
            old->closeIfIdle(-1);
    }
    // A session the server ends or sends GOAWAY on takes no new streams; it finishes its own
    // and deletes itself.
    connect(session, &Http2Client::gone, this, [this, server, session] {
        const auto it = m_sessions.find(server);
        if (it == m_sessions.end())
            return;
        it->removeAll(session);
        if (it->isEmpty())
            m_sessions.erase(it);
    });
}

Http2Client *UpstreamPool::session(const QString &server) const
{
    for (const QPointer<Http2Client> &session : m_sessions.value(server))
        if (session && session->hasRoom())
            return session;
    return nullptr;
}

bool UpstreamPool::speaksHttp2(const QString &server) const
{
    return m_connecting.contains(server);
}

bool UpstreamPool::claimConnect(const QString &server, QObject *context, std::function<void()> retry)
{
    const auto it = m_connecting.find(server);
    if (it == m_connecting.end())
        return true;
    if (!*it) {
        *it = true;
        return true;
    }
    m_waiters[server].append({ context, std::move(retry) });
    return false;
}

void UpstreamPool::connectDone(const QString &server)
{
    const auto it = m_connecting.find(server);
    if (it != m_connecting.end())
        *it = false;
    for (const Waiter &waiter : m_waiters.take(server)) {
        if (waiter.context)
            QTimer::singleShot(0, waiter.context, waiter.retry);
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

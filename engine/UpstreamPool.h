#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <deque>

class EventSocket;

// Server connections that carried a complete reply and may carry another, kept for whichever
// browser connection next asks for the same server. One pool serves all the browser connections
// of its thread; a connection is lent to one exchange at a time.
//
// Connections are kept per server key (scheme, TLS peer name, host and port), at most
// MaxIdlePerServer each, the oldest closed first. An idle connection that the server closes, or
// on which it sends anything, is dropped at once.
class UpstreamPool : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxIdlePerServer = 6;

    explicit UpstreamPool(QObject *parent = nullptr);
    ~UpstreamPool() override;

    // The most recently kept connection to the server, or null. The caller takes it over: the
    // pool no longer watches or owns it.
    EventSocket *take(const QString &server);
    // Keeps a connected socket, taking it over; anything else is closed.
    void give(const QString &server, EventSocket *socket);
    // Closes the connections idle for longer than idleMs.
    void closeIdle(qint64 idleMs);
    int idleCount(const QString &server) const;

private:
    struct Idle {
        EventSocket *socket;
        qint64 since;
    };
    void drop(EventSocket *socket);
    static void discard(EventSocket *socket);

    QHash<QString, std::deque<Idle>> m_idle;
};

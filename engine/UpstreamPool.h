#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>

class EventSocket;
class Http2Client;

// Server connections that carried a complete reply and may carry another, kept for whichever
// browser connection next asks for the same server. One pool serves all the browser connections
// of its thread; a connection is lent to one exchange at a time.
//
// Connections are kept per server key (scheme, TLS peer name, host and port), at most
// MaxIdlePerServer each, the oldest closed first. An idle connection that the server closes, or
// on which it sends anything, is dropped at once.
//
// A server that chose HTTP/2 is kept as its live sessions instead, each lent to many exchanges at
// once, one stream each; at most MaxIdleSessionsPerServer of them without a stream. The pool
// remembers which servers spoke HTTP/2: while a new connection to one of them is being made,
// other exchanges wait for it rather than each making their own. When every session is full,
// the next exchange opens another connection rather than waiting.
class UpstreamPool : public QObject
{
    Q_OBJECT

public:
    // An HTTP/2 browser has up to 100 requests in flight on one connection, each served over an
    // HTTP/1.1 server connection of its own; those kept must cover such a burst, or each one
    // after it pays a new handshake.
    static constexpr int MaxIdlePerServer = 32;
    // Each decrypted tunnel makes a server connection of its own, so each one to a server that
    // speaks HTTP/2 brings another session; beyond this many without a stream, the oldest of
    // those are closed as the next one comes.
    static constexpr int MaxIdleSessionsPerServer = 4;

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

    // Keeps a session while it takes new streams, taking it over; the server is known to speak
    // HTTP/2 from now on. The session given is kept even while it has no stream yet.
    void giveSession(const QString &server, Http2Client *session);
    // A session to the server with room for another stream, or null. It stays the pool's.
    Http2Client *session(const QString &server) const;
    bool speaksHttp2(const QString &server) const;
    // Asked before connecting to a server known to speak HTTP/2: true when the caller should
    // connect, and must then call connectDone once the connection is made or has failed; false
    // when another connection to it is under way, and retry is called (from the event loop, while
    // context lives) once it is over.
    bool claimConnect(const QString &server, QObject *context, std::function<void()> retry);
    void connectDone(const QString &server);

private:
    struct Idle {
        EventSocket *socket;
        qint64 since;
    };
    void drop(EventSocket *socket);
    static void discard(EventSocket *socket);

    struct Waiter {
        QPointer<QObject> context;
        std::function<void()> retry;
    };

    QHash<QString, std::deque<Idle>> m_idle;
    QHash<QString, QList<QPointer<Http2Client>>> m_sessions;
    QHash<QString, bool> m_connecting; // per HTTP/2 server: a connection to it is under way
    QHash<QString, QList<Waiter>> m_waiters;
};

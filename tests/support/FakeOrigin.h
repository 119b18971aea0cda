#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <list>

// A web server on 127.0.0.1 (port chosen by the system) for one test. It records what it receives
// on each connection and answers each request with canned bytes, written chunk by chunk with a
// pause between chunks so that they arrive separately, or with a generated body of any size
// written only as fast as the peer takes it. A connection that stays open serves the next request
// on it the same way.
class FakeOrigin : public QObject
{
public:
    enum class Closing {
        AfterReply, // close-delimited: closes once the reply is written
        WhenAsked, // HTTP/1.1 keep-alive: closes only when the request said Connection: close
        Never, // keeps the connection open whatever the request said
        WithLastChunk, // as AfterReply, but closes as it writes the last chunk
    };

    // With a configuration, an HTTPS origin: connections are handed over once their handshake
    // is done, and url() names https://localhost.
    explicit FakeOrigin(const QSslConfiguration *tls = nullptr)
        : m_server(tls ? new QSslServer(this) : new QTcpServer(this))
        , m_scheme(tls ? QStringLiteral("https://localhost") : QStringLiteral("http://127.0.0.1"))
    {
        if (tls)
            static_cast<QSslServer *>(m_server)->setSslConfiguration(*tls);
        m_server->listen(QHostAddress::LocalHost, 0);
        // A TLS server hands a connection over once its handshake is done, which it tells with
        // pendingConnectionAvailable alone.
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                ++connectionsAccepted;
                Peer *peer = &m_peers.emplace_back(Peer { socket });
                const auto read = [this, peer] {
                    const QByteArray data = peer->socket->readAll();
                    peer->received += data;
                    logRequestBytes(peer, data);
                    onReadyRead(peer);
                };
                connect(socket, &QTcpSocket::readyRead, this, read);
                connect(socket, &QTcpSocket::disconnected, this, [this] { ++connectionsClosedByPeer; });
                // A TLS connection is handed over after its handshake, with what came with it.
                read();
            }
        });
    }

    quint16 port() const { return m_server->serverPort(); }
    QString url(const QString &path = QStringLiteral("/")) const
    {
        return QStringLiteral("%1:%2%3").arg(m_scheme).arg(port()).arg(path);
    }
    // A browser's request for path, as it is sent to a proxy.
    QByteArray getRequest(const QString &path = QStringLiteral("/")) const
    {
        return "GET " + url(path).toLatin1() + " HTTP/1.1\r\nHost: a\r\n\r\n";
    }
    void setReply(const QList<QByteArray> &chunks, Closing closing = Closing::AfterReply)
    {
        m_chunks = chunks;
        m_closing = closing;
    }
    // header, then size bytes of pattern(), then close.
    void setStreamedReply(const QByteArray &header, qint64 size)
    {
        m_streamHeader = header;
        m_streamSize = size;
    }
    // While held, complete requests are recorded but not answered; release() answers them.
    void setHold(bool hold) { m_hold = hold; }
    // No connection is in the middle of a reply (its last bytes seen out).
    bool idle() const
    {
        return std::none_of(
            m_peers.begin(), m_peers.end(), [](const Peer &peer) { return peer.socket && peer.replying; });
    }
    // Closes every connection that is not in the middle of a reply, as a server's idle time-out.
    void dropIdleConnections()
    {
        for (Peer &peer : m_peers)
            if (peer.socket && !peer.replying)
                peer.socket->disconnectFromHost();
    }
    void release()
    {
        m_hold = false;
        for (Peer &peer : m_peers)
            if (peer.socket && peer.complete && !peer.replying)
                startReply(&peer);
    }
    int completeRequests() const { return m_complete; }
    // Forgets what came so far; a connection still open starts a new entry with its next bytes.
    void clearRequests()
    {
        requests.clear();
        ++m_generation;
    }
    // Bytes offset.. of a streamed body; a lost or repeated piece of it shows.
    static QByteArray pattern(qint64 offset, qint64 size)
    {
        QByteArray out(size, Qt::Uninitialized);
        char *p = out.data();
        for (qint64 i = offset; i < offset + size; ++i)
            *p++ = static_cast<char>((i * 7 + i / 251) & 0xff);
        return out;
    }
    // The whole canned reply, chunks run together.
    QByteArray replyBytes() const { return m_chunks.join(); }

    // When set, each request is answered with the page for its path (404 for another path)
    // instead of the canned reply.
    QHash<QByteArray, QByteArray> pages;
    QList<QByteArray> requests; // per connection, in the order they opened; see clearRequests()
    int connectionsAccepted = 0, connectionsClosedByPeer = 0;

private:
    struct Peer {
        QPointer<QTcpSocket> socket;
        int index = -1, generation = -1, nextChunk = 0;
        QByteArray received = {};
        bool complete = false, replying = false, closeWhenDone = true;
        QList<QByteArray> chunks = {};
        qint64 streamed = 0, consumed = 0; // consumed: bytes of earlier requests on this connection
    };

    void onReadyRead(Peer *peer)
    {
        const QByteArray received = peer->received.mid(peer->consumed);
        const qsizetype headerEnd = received.indexOf("\r\n\r\n");
        if (peer->complete || headerEnd < 0)
            return;
        const QByteArray header = received.left(headerEnd).toLower() + "\r\n";
        const qsizetype cl = header.indexOf("\r\ncontent-length:"),
                        last = received.indexOf("\r\n0\r\n\r\n", headerEnd);
        qsizetype end = headerEnd + 4;
        if (cl >= 0)
            end += header.mid(cl + 17, header.indexOf("\r\n", cl + 2) - cl - 17).trimmed().toLongLong();
        else if (header.contains("\r\ntransfer-encoding: chunked"))
            end = last < 0 ? received.size() + 1 : last + 7;
        if (received.size() < end)
            return;
        const QByteArray path = received.left(received.indexOf("\r\n")).split(' ').value(1);
        const QByteArray page = pages.value(path), status = pages.contains(path) ? "200 OK" : "404 Not Found";
        peer->chunks = pages.isEmpty() ? m_chunks
                                       : QList<QByteArray> { "HTTP/1.1 " + status + "\r\nContent-Length: "
                                             + QByteArray::number(page.size()) + "\r\n\r\n" + page };
        peer->consumed += end;
        peer->closeWhenDone = m_closing == Closing::AfterReply || m_closing == Closing::WithLastChunk
            || m_streamSize >= 0
            || (m_closing == Closing::WhenAsked && header.contains("\r\nconnection: close"));
        peer->complete = true;
        ++m_complete;
        if (!m_hold)
            startReply(peer);
    }
    void logRequestBytes(Peer *peer, const QByteArray &data)
    {
        if (peer->generation != m_generation) {
            peer->generation = m_generation;
            peer->index = int(requests.size());
            requests.append(QByteArray());
        }
        requests[peer->index] += data;
    }
    void startReply(Peer *peer)
    {
        peer->replying = true;
        if (m_streamSize < 0)
            return sendNextChunk(peer);
        peer->socket->write(m_streamHeader);
        connect(peer->socket, &QTcpSocket::bytesWritten, this, [this, peer] { pumpStream(peer); });
        pumpStream(peer);
    }
    void sendNextChunk(Peer *peer)
    {
        if (!peer->socket)
            return;
        if (peer->nextChunk >= peer->chunks.size())
            return finish(peer);
        peer->socket->write(peer->chunks.at(peer->nextChunk++));
        peer->socket->flush();
        if (m_closing == Closing::WithLastChunk && peer->nextChunk == peer->chunks.size())
            return finish(peer);
        // A pause so that every chunk reaches the proxy as an arrival of its own.
        QTimer::singleShot(5, this, [this, peer] { sendNextChunk(peer); });
    }
    void pumpStream(Peer *peer)
    {
        constexpr qint64 piece = 256 * 1024;
        for (qint64 n;
             peer->socket && peer->streamed < m_streamSize && peer->socket->bytesToWrite() < 2 * piece;
             peer->streamed += n)
            peer->socket->write(pattern(peer->streamed, n = qMin(piece, m_streamSize - peer->streamed)));
        if (peer->socket && peer->streamed >= m_streamSize && peer->socket->bytesToWrite() == 0)
            finish(peer);
    }
    void finish(Peer *peer)
    {
        if (!peer->closeWhenDone) {
            // Ready for the next request on this connection, which may be here already.
            peer->complete = peer->replying = false;
            peer->nextChunk = peer->streamed = 0;
            return onReadyRead(peer);
        }
        peer->socket->disconnect(this);
        peer->socket->disconnectFromHost();
        peer->socket = nullptr;
    }

    QTcpServer *m_server = nullptr;
    QString m_scheme;
    QList<QByteArray> m_chunks;
    Closing m_closing = Closing::AfterReply;
    QByteArray m_streamHeader;
    qint64 m_streamSize = -1;
    bool m_hold = false;
    int m_complete = 0, m_generation = 0;
    std::list<Peer> m_peers;
};

#include "FakeOrigin.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

FakeOrigin::FakeOrigin() : m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost, 0);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            ++connectionsAccepted;
            auto *peer = new Peer{socket, static_cast<int>(requests.size())};
            m_peers.append(peer);
            requests.append(QByteArray());
            connect(socket, &QTcpSocket::readyRead, this, [this, peer] {
                requests[peer->index] += peer->socket->readAll();
                onReadyRead(peer);
            });
            connect(socket, &QTcpSocket::disconnected, this, [this] { ++connectionsClosedByPeer; });
        }
    });
}

FakeOrigin::~FakeOrigin()
{
    for (Peer *peer : m_peers) {
        if (peer->socket)
            peer->socket->abort();
        delete peer;
    }
}

quint16 FakeOrigin::port() const
{
    return m_server->serverPort();
}

QString FakeOrigin::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void FakeOrigin::setReply(const QList<QByteArray> &chunks, Closing closing)
{
    m_chunks = chunks;
    m_closing = closing;
    m_streamSize = -1;
}

void FakeOrigin::setStreamedReply(const QByteArray &header, qint64 bodySize)
{
    m_streamHeader = header;
    m_streamSize = bodySize;
    m_closing = Closing::AfterReply;
}

void FakeOrigin::release()
{
    m_hold = false;
    for (Peer *peer : m_peers)
        if (peer->socket && peer->complete && !peer->replying)
            startReply(peer);
}

QByteArray FakeOrigin::pattern(qint64 offset, qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    char *p = out.data();
    for (qint64 i = offset; i < offset + size; ++i)
        *p++ = static_cast<char>((i * 7 + i / 251) & 0xff);
    return out;
}

void FakeOrigin::onReadyRead(Peer *peer)
{
    const QByteArray &received = requests.at(peer->index);
    const qsizetype headerEnd = received.indexOf("\r\n\r\n");
    if (peer->complete || headerEnd < 0)
        return;
    const QByteArray header = received.left(headerEnd).toLower() + "\r\n";
    const qsizetype cl = header.indexOf("\r\ncontent-length:");
    const qint64 bodyLength = cl < 0 ? 0 : header.mid(cl + 17, header.indexOf("\r\n", cl + 2) - cl - 17).trimmed().toLongLong();
    if (received.size() - (headerEnd + 4) < bodyLength)
        return;
    peer->closeWhenDone = m_closing == Closing::AfterReply
                          || (m_closing == Closing::WhenAsked && header.contains("\r\nconnection: close"));
    peer->complete = true;
    ++m_complete;
    if (!m_hold)
        startReply(peer);
}

void FakeOrigin::startReply(Peer *peer)
{
    peer->replying = true;
    if (m_streamSize < 0)
        return sendNextChunk(peer);
    peer->socket->write(m_streamHeader);
    connect(peer->socket, &QTcpSocket::bytesWritten, this, [this, peer] { pumpStream(peer); });
    pumpStream(peer);
}

void FakeOrigin::sendNextChunk(Peer *peer)
{
    if (!peer->socket)
        return;
    if (peer->nextChunk >= m_chunks.size())
        return finish(peer);
    peer->socket->write(m_chunks.at(peer->nextChunk++));
    peer->socket->flush();
    // A pause so that every chunk reaches the proxy as an arrival of its own.
    QTimer::singleShot(5, this, [this, peer] { sendNextChunk(peer); });
}

void FakeOrigin::pumpStream(Peer *peer)
{
    constexpr qint64 piece = 256 * 1024;
    while (peer->socket && peer->streamed < m_streamSize && peer->socket->bytesToWrite() < 2 * piece) {
        const qint64 n = qMin(piece, m_streamSize - peer->streamed);
        peer->socket->write(pattern(peer->streamed, n));
        peer->streamed += n;
    }
    if (peer->socket && peer->streamed >= m_streamSize && peer->socket->bytesToWrite() == 0)
        finish(peer);
}

void FakeOrigin::finish(Peer *peer)
{
    if (!peer->closeWhenDone)
        return;
    QTcpSocket *socket = peer->socket;
    peer->socket = nullptr;
    socket->disconnect(this);
    socket->disconnectFromHost();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

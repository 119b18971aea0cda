#include "FakeOrigin.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

struct FakeOrigin::Peer {
    QPointer<QTcpSocket> socket;
    QByteArray received;
    bool replying = false;
    bool complete = false;
    bool closeWhenDone = true;
    int nextChunk = 0;
    qint64 streamed = 0;
};

FakeOrigin::FakeOrigin(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost, 0);
    connect(m_server, &QTcpServer::newConnection, this, &FakeOrigin::onNewConnection);
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

namespace {
// A period that is no power of two, so that a lost or repeated piece of a streamed body shows.
constexpr qint64 kPatternPeriod = 1024 * 1024 + 7;

const QByteArray &patternBlock()
{
    static const QByteArray block = [] {
        QByteArray b(2 * kPatternPeriod, Qt::Uninitialized);
        for (qint64 i = 0; i < b.size(); ++i)
            b[i] = static_cast<char>(((i % kPatternPeriod) * 7 + (i % kPatternPeriod) / 251) % 256);
        return b;
    }();
    return block;
}
} // namespace

void FakeOrigin::setHold(bool hold)
{
    m_hold = hold;
}

void FakeOrigin::release()
{
    m_hold = false;
    for (Peer *peer : m_peers)
        if (peer->socket && peer->complete && !peer->replying)
            startReply(peer);
}

int FakeOrigin::completeRequests() const
{
    return m_complete;
}

char FakeOrigin::patternByte(qint64 i)
{
    return patternBlock().at(i % kPatternPeriod);
}

QByteArray FakeOrigin::pattern(qint64 offset, qint64 size)
{
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        const qint64 start = (offset + out.size()) % kPatternPeriod;
        const qint64 n = qMin(size - out.size(), kPatternPeriod);
        out.append(patternBlock().constData() + start, n);
    }
    return out;
}

QByteArray FakeOrigin::replyBytes() const
{
    QByteArray all;
    for (const QByteArray &chunk : m_chunks)
        all += chunk;
    return all;
}

void FakeOrigin::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++connectionsAccepted;
        auto *peer = new Peer;
        peer->socket = socket;
        m_peers.append(peer);
        requests.append(QByteArray());
        const int index = static_cast<int>(requests.size()) - 1;
        connect(socket, &QTcpSocket::readyRead, this, [this, peer, index] {
            if (!peer->socket)
                return;
            const QByteArray data = peer->socket->readAll();
            peer->received += data;
            requests[index] += data;
            onReadyRead(peer);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, peer] {
            if (peer->socket)
                ++connectionsClosedByPeer;
        });
    }
}

void FakeOrigin::onReadyRead(Peer *peer)
{
    if (peer->replying || peer->complete)
        return;
    const qsizetype headerEnd = peer->received.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QByteArray header = peer->received.left(headerEnd).toLower();
    qint64 bodyLength = 0;
    const qsizetype cl = header.indexOf("\r\ncontent-length:");
    if (cl >= 0) {
        const qsizetype end = header.indexOf("\r\n", cl + 2);
        bodyLength = header.mid(cl + 17, end < 0 ? -1 : end - cl - 17).trimmed().toLongLong();
    }
    if (peer->received.size() - (headerEnd + 4) < bodyLength)
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
    if (m_streamSize >= 0) {
        peer->socket->write(m_streamHeader);
        connect(peer->socket, &QTcpSocket::bytesWritten, this, [this, peer] { pumpStream(peer); });
        pumpStream(peer);
        return;
    }
    sendNextChunk(peer);
}

void FakeOrigin::sendNextChunk(Peer *peer)
{
    if (!peer->socket)
        return;
    if (peer->nextChunk >= m_chunks.size()) {
        finish(peer);
        return;
    }
    peer->socket->write(m_chunks.at(peer->nextChunk++));
    peer->socket->flush();
    // A pause so that every chunk reaches the proxy as an arrival of its own.
    QTimer::singleShot(5, this, [this, peer] { sendNextChunk(peer); });
}

void FakeOrigin::pumpStream(Peer *peer)
{
    if (!peer->socket)
        return;
    constexpr qint64 piece = 256 * 1024;
    while (peer->streamed < m_streamSize && peer->socket->bytesToWrite() < 2 * piece) {
        const qint64 n = qMin(piece, m_streamSize - peer->streamed);
        peer->socket->write(pattern(peer->streamed, n));
        peer->streamed += n;
    }
    if (peer->streamed >= m_streamSize && peer->socket->bytesToWrite() == 0)
        finish(peer);
}

void FakeOrigin::finish(Peer *peer)
{
    if (!peer->closeWhenDone || !peer->socket)
        return;
    ++connectionsClosedByUs;
    QTcpSocket *socket = peer->socket;
    peer->socket = nullptr;
    socket->disconnect(this);
    socket->disconnectFromHost();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

#include "RawBrowser.h"

#include "Wait.h"

#include <QHostAddress>
#include <QTcpSocket>

RawBrowser::RawBrowser(quint16 port, QObject *parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    connect(m_socket, &QTcpSocket::readyRead, this, &RawBrowser::readAvailable);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        readAvailable();
        peerClosed = true;
    });
    m_socket->connectToHost(QHostAddress::LocalHost, port);
    waitFor([this] { return m_socket->state() == QAbstractSocket::ConnectedState; });
}

RawBrowser::~RawBrowser()
{
    m_socket->abort();
}

bool RawBrowser::connected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void RawBrowser::send(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_socket->flush();
}

void RawBrowser::close()
{
    m_socket->disconnectFromHost();
}

void RawBrowser::setReadPaused(bool paused)
{
    m_paused = paused;
    m_socket->setReadBufferSize(paused ? 16 * 1024 : 0);
    if (!paused)
        readAvailable();
}

void RawBrowser::readAvailable()
{
    if (m_paused)
        return;
    const QByteArray data = m_socket->readAll();
    receivedCount += data.size();
    if (!countOnly)
        received += data;
}

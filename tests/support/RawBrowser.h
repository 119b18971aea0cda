#pragma once

#include "Wait.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

// A browser reduced to a TCP socket on 127.0.0.1: sends exactly the bytes a test gives it and
// keeps everything it receives. Reading can be paused to play a browser that reads slowly.
class RawBrowser : public QObject
{
public:
    explicit RawBrowser(quint16 port)
        : m_socket(new QTcpSocket(this))
    {
        connect(m_socket, &QTcpSocket::readyRead, this, &RawBrowser::readAvailable);
        connect(m_socket, &QTcpSocket::disconnected, this, [this] {
            readAvailable();
            peerClosed = true;
        });
        m_socket->connectToHost(QHostAddress::LocalHost, port);
        waitFor([this] { return m_socket->state() == QAbstractSocket::ConnectedState; });
    }
    ~RawBrowser() override { m_socket->abort(); }

    // Written as the event loop runs, which every test waits in before it looks at the proxy.
    void send(const QByteArray &bytes) { m_socket->write(bytes); }
    void close() { m_socket->disconnectFromHost(); }
    // While paused nothing is read, and the socket keeps at most a small buffer, so the kernel's
    // window fills and the sender has to wait.
    void setReadPaused(bool paused)
    {
        m_paused = paused;
        m_socket->setReadBufferSize(paused ? 16 * 1024 : 0);
        readAvailable();
    }

    QByteArray received;
    bool peerClosed = false;

private:
    void readAvailable()
    {
        if (!m_paused)
            received += m_socket->readAll();
    }

    QTcpSocket *m_socket = nullptr;
    bool m_paused = false;
};

#pragma once

#include <QByteArray>
#include <QObject>

class QTcpSocket;

// A browser reduced to a TCP socket on 127.0.0.1: sends exactly the bytes a test gives it and
// keeps everything it receives. Reading can be paused to play a browser that reads slowly.
class RawBrowser : public QObject
{
    Q_OBJECT

public:
    explicit RawBrowser(quint16 port, QObject *parent = nullptr);
    ~RawBrowser() override;

    bool connected() const;
    void send(const QByteArray &bytes);
    void close();
    // While paused nothing is read, and the socket keeps at most a small buffer, so the kernel's
    // window fills and the sender has to wait.
    void setReadPaused(bool paused);

    QByteArray received;
    qint64 receivedCount = 0;
    // Keep only the count, not the bytes (for large replies).
    bool countOnly = false;
    bool peerClosed = false;

private:
    void readAvailable();

    QTcpSocket *m_socket = nullptr;
    bool m_paused = false;
};

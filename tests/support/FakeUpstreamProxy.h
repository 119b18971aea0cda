#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

// A second HTTP proxy on 127.0.0.1 for one test, to forward through: it keeps each request head it
// is sent and relays to servers on this machine only (127.0.0.1, whatever name the target gives),
// plain requests as they come (absolute form) and CONNECT as a tunnel. It can ask for credentials (407) or
// refuse CONNECT (403) on demand.
class FakeUpstreamProxy : public QObject
{
public:
    enum class Behaviour { Forward, AskCredentials, RefuseConnect };

    FakeUpstreamProxy()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                connect(client, &QTcpSocket::readyRead, this, [this, client] { onHead(client); });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QString endpoint() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    Behaviour behaviour = Behaviour::Forward;
    // With AskCredentials, the Proxy-Authorization value that is let through.
    QByteArray authorization;
    QList<QByteArray> heads;

private:
    void onHead(QTcpSocket *client)
    {
        if (client->property("piped").toBool())
            return;
        QByteArray &buffer = m_pending[client];
        buffer += client->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = buffer.first(end + 4), rest = buffer.mid(end + 4);
        m_pending.remove(client);
        heads.append(head);
        const QList<QByteArray> line = head.first(head.indexOf("\r\n")).split(' ');
        const bool tunnel = line.value(0) == "CONNECT";
        QByteArray authority = line.value(1);
        if (!tunnel)
            authority = authority.mid(authority.indexOf("//") + 2).split('/').value(0);
        const bool authorized = behaviour != Behaviour::AskCredentials
            || head.contains("\r\nProxy-Authorization: " + authorization + "\r\n");
        const char *refusal = !authorized ? "407 Proxy Authentication Required\r\nProxy-Authenticate: Basic"
            : tunnel && behaviour == Behaviour::RefuseConnect ? "403 Forbidden\r\nX-Why: no"
            : !authority.startsWith("127.0.0.1:") && !authority.startsWith("localhost:")
            ? "502 Bad Gateway\r\nX-Why: not here"
            : nullptr;
        if (refusal) {
            client->write(
                QByteArray("HTTP/1.1 ") + refusal + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            client->disconnectFromHost();
            return;
        }
        client->setProperty("piped", true);
        auto *server = new QTcpSocket(client);
        connect(server, &QTcpSocket::connected, this, [=] {
            if (tunnel)
                client->write("HTTP/1.1 200 Connection established\r\n\r\n");
            server->write(tunnel ? rest : head + rest);
            server->write(client->readAll());
        });
        connect(server, &QTcpSocket::readyRead, this, [=] { client->write(server->readAll()); });
        connect(client, &QTcpSocket::readyRead, this, [=] {
            if (server->state() == QAbstractSocket::ConnectedState)
                server->write(client->readAll());
        });
        connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, server, &QTcpSocket::disconnectFromHost);
        server->connectToHost(QHostAddress::LocalHost, authority.mid(authority.indexOf(':') + 1).toUShort());
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

#pragma once

#include "Wait.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>

// A browser's TLS session with localhost:originPort inside a CONNECT tunnel through the proxy,
// trusting the CA in caFile and offering the protocols given. True once encrypted with one of
// them; nothing inside the tunnel has been read.
inline bool openTlsTunnel(QSslSocket &socket, quint16 proxyPort, quint16 originPort, const QString &caFile,
    const QList<QByteArray> &protocols)
{
    socket.connectToHost(QStringLiteral("127.0.0.1"), proxyPort);
    if (!waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }))
        return false;
    const QByteArray target = "localhost:" + QByteArray::number(originPort);
    socket.write("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    QByteArray reply;
    if (!waitFor([&] { return (reply += socket.readAll()).contains("\r\n\r\n"); })
        || !reply.startsWith("HTTP/1.1 200"))
        return false;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QFile ca(caFile);
    ca.open(QIODevice::ReadOnly);
    tls.setCaCertificates(QSslCertificate::fromData(ca.readAll()));
    tls.setAllowedNextProtocols(protocols);
    socket.setSslConfiguration(tls);
    socket.setPeerVerifyName(QStringLiteral("localhost"));
    socket.startClientEncryption();
    return waitFor([&] { return socket.isEncrypted(); })
        && protocols.contains(socket.sslConfiguration().nextNegotiatedProtocol());
}

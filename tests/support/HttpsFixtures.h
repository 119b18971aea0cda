#pragma once

#include "CurlRun.h"
#include "HttpsDecryption.h"
#include "ProxyHarness.h"
#include "TestPki.h"

#include <QFile>
#include <QHash>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>

// A proxy with HTTPS decryption on, whose servers are trusted through the test's own CA, and
// TLS configurations for origins with certificates from that CA.
struct DecryptingProxy {
    DecryptingProxy()
    {
        QFile ca(testCa);
        if (ca.open(QIODevice::WriteOnly))
            ca.write(pki.caPem());
        ca.close();
        HttpsSettings settings;
        settings.enabled = true;
        settings.extraTrustedCA = testCa;
        QString why;
        applied = https.apply(settings, &why);
        h.server->setHttpsDecryption(&https);
        https.authority().exportCertificate(tarnwickCa, &why);
    }
    ~DecryptingProxy() { h.server->setHttpsDecryption(nullptr); }
    QSslConfiguration origin(const QString &name, int daysFrom = -1, int daysTo = 30) const
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        QSslKey key;
        tls.setLocalCertificate(pki.server(name, daysFrom, daysTo, &key));
        tls.setPrivateKey(key);
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        return tls;
    }
    // curl through the proxy, trusting the CA this installation made.
    CurlResult curl(const QStringList &urls, const QStringList &extra = {})
    {
        return runCurl(
            QStringList { QStringLiteral("--cacert"), tarnwickCa, QStringLiteral("-x"), h.proxyUrl() } + extra
            + urls);
    }

    TestPki pki;
    ProxyHarness h;
    HttpsDecryption https { h.folder.path() };
    QString testCa = h.folder.path() + QStringLiteral("test-ca.pem");
    QString tarnwickCa = h.folder.path() + QStringLiteral("exported-ca.pem");
    bool applied = false;
};

// An HTTPS site on 127.0.0.1 serving fixed pages by path, with keep-alive, as a browser expects.
class HttpsSite : public QObject
{
public:
    explicit HttpsSite(const QSslConfiguration &tls)
    {
        m_server.setSslConfiguration(tls);
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto *buffer = new QByteArray;
                connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
                const auto serve = [this, socket, buffer] {
                    *buffer += socket->readAll();
                    for (qsizetype end; (end = buffer->indexOf("\r\n\r\n")) >= 0;
                         buffer->remove(0, end + 4)) {
                        const QByteArray path = buffer->left(buffer->indexOf("\r\n")).split(' ').value(1);
                        const QByteArray body = pages.value(path);
                        socket->write(
                            (pages.contains(path) ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
                            + QByteArray("Content-Length: ") + QByteArray::number(body.size()) + "\r\n\r\n"
                            + body);
                    }
                };
                connect(socket, &QIODevice::readyRead, this, serve);
                connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
                serve();
            }
        });
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("https://localhost:%1%2").arg(m_server.serverPort()).arg(path);
    }

    QHash<QByteArray, QByteArray> pages;

private:
    QSslServer m_server;
};

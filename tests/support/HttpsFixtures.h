#pragma once

#include "CurlRun.h"
#include "HttpsDecryption.h"
#include "ProxyHarness.h"
#include "TestPki.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>

// A proxy with HTTPS decryption on, whose servers are trusted through the test's own CA, and
// TLS configurations for origins with certificates from that CA.
struct DecryptingProxy {
    DecryptingProxy()
    {
        QFile ca(testCa);
        applied = ca.open(QIODevice::WriteOnly) && ca.write(pki.caPem()) > 0 && ca.flush()
            && https.apply(HttpsSettings { true, {}, testCa }, nullptr);
        h.server->setHttpsDecryption(&https);
        https.authority().exportCertificate(tarnwickCa);
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
    CurlResult curl(const QStringList &urls, const QStringList &extra = {}, int timeoutMs = 20000)
    {
        return runCurl(
            QStringList { QStringLiteral("--cacert"), tarnwickCa, QStringLiteral("-x"), h.proxyUrl() } + extra
                + urls,
            timeoutMs);
    }

    TestPki pki;
    // On network threads, as the program serves: the accepted connection must still be able to
    // answer TLS there.
    ProxyHarness h { 2 };
    HttpsDecryption https { h.folder.path() };
    QString testCa = h.folder.path() + QStringLiteral("test-ca.pem");
    QString tarnwickCa = h.folder.path() + QStringLiteral("exported-ca.pem");
    bool applied = false;
};

#pragma once

#include "HttpTarget.h"

#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include <optional>

class CHTTPGet;
class EventSocket;
class HttpsDecryption;

// Decrypts a CONNECT tunnel whose browser starts TLS: the browser is answered with a certificate
// for the host made by this installation's CA, and the server is reached over TLS of our own, so
// that each request inside becomes an exchange like any other. It looks at the tunnel's first
// bytes in place, so that the handshake answered here still reads them, and says when both
// handshakes are over.
class TlsInterceptor : public QObject
{
    Q_OBJECT

public:
    enum class Probe { NeedMore, Decrypting, Relay };

    TlsInterceptor(EventSocket *browser, CHTTPGet *server, QObject *parent);

    // The tunnel to origin is to be decrypted if its browser starts TLS; it is looked at before
    // anything of it is relayed.
    void arm(const HttpTarget &origin);
    // Nothing is looked at: the tunnel stays a plain relay.
    void disarm();
    bool armed() const;
    // Looks at what the browser has sent so far. Decrypting: both handshakes have begun. Relay:
    // not TLS, or the host gets no certificate (the log is told why).
    Probe probe(HttpsDecryption *https);

    // The server of the decrypted tunnel, once decrypting.
    const std::optional<HttpTarget> &origin() const;
    // Both TLS sessions, as the tunnel's reply record tells them.
    QString summary() const;
    bool serverFailed() const;
    // How server connections are made inside decrypted tunnels: verified, with the CAs the user
    // added to the system's.
    static QSslConfiguration serverConfiguration(HttpsDecryption *https);

signals:
    // A line for the log, after the connection's own prefix.
    void log(const QString &text);
    void browserFailed();
    // Both handshakes are over, however they went.
    void ready();

private:
    void Socket_Encrypted();
    void Socket_TlsFailed(const QString &reason);
    void Server_TlsReady(bool ok, const QString &reason);
    void readyIfBoth();

    EventSocket *m_browser;
    CHTTPGet *m_server;
    std::optional<HttpTarget> m_armedFor;
    std::optional<HttpTarget> m_origin;
    QString m_host;
    bool m_browserDone = false;
    bool m_serverDone = false;
    QString m_serverError;
};

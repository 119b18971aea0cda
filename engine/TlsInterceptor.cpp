#include "TlsInterceptor.h"

#include "CHTTPGet.h"
#include "CertificateAuthority.h"
#include "EventSocket.h"
#include "HttpsDecryption.h"
#include "TlsClientHello.h"

#include <QSslConfiguration>

#include <utility>

TlsInterceptor::TlsInterceptor(EventSocket *browser, CHTTPGet *server, QObject *parent)
    : QObject(parent)
    , m_browser(browser)
    , m_server(server)
{
    connect(m_browser, &EventSocket::encrypted, this, &TlsInterceptor::Socket_Encrypted);
    connect(m_browser, &EventSocket::tlsFailed, this, &TlsInterceptor::Socket_TlsFailed);
    connect(m_server, &CHTTPGet::tlsReady, this, &TlsInterceptor::Server_TlsReady);
}

void TlsInterceptor::arm(const HttpTarget &origin)
{
    m_armedFor = origin;
}

void TlsInterceptor::disarm()
{
    m_armedFor.reset();
}

bool TlsInterceptor::armed() const
{
    return m_armedFor.has_value();
}

TlsInterceptor::Probe TlsInterceptor::probe(HttpsDecryption *https)
{
    if (!m_armedFor)
        return Probe::Relay;
    constexpr qint64 MaxClientHello = 5 + 16384 + 2048;
    const QByteArray first = m_browser->peekData(MaxClientHello);
    const TlsClientHello hello = TlsClientHello::read(first);
    if (hello.kind == TlsClientHello::Kind::NeedMore && first.size() < MaxClientHello)
        return Probe::NeedMore;
    const HttpTarget origin = *std::exchange(m_armedFor, std::nullopt);
    if (hello.kind != TlsClientHello::Kind::Tls || !https || !https->active())
        return Probe::Relay;
    m_host = hello.serverName.isEmpty() ? origin.host : hello.serverName;
    QString why;
    const std::shared_ptr<const LeafCertificate> leaf = https->authority().leafFor(m_host, &why);
    if (!leaf) {
        emit log(QStringLiteral("Not decrypting ") + m_host + QStringLiteral(": ") + why);
        return Probe::Relay;
    }
    m_origin = origin;
    m_browser->startServerTls(leaf->serverConfiguration());
    m_server->startTls(m_host, serverConfiguration(https));
    return Probe::Decrypting;
}

QSslConfiguration TlsInterceptor::serverConfiguration(HttpsDecryption *https)
{
    QSslConfiguration server = QSslConfiguration::defaultConfiguration();
    if (https)
        server.addCaCertificates(https->extraTrustedCAs());
    server.setPeerVerifyMode(QSslSocket::VerifyPeer);
    server.setProtocol(QSsl::TlsV1_2OrLater);
    // A server that chooses h2 gets an HTTP/2 session (Http2Client); the browser side is not
    // affected by the choice.
    server.setAllowedNextProtocols({ QByteArrayLiteral("h2"), QByteArrayLiteral("http/1.1") });
    return server;
}

const std::optional<HttpTarget> &TlsInterceptor::origin() const
{
    return m_origin;
}

QString TlsInterceptor::summary() const
{
    const auto protocol = [](const QByteArray &alpn) {
        return alpn.isEmpty() ? QStringLiteral("http/1.1") : QString::fromLatin1(alpn);
    };
    const QString protocols
        = QStringLiteral("Protocols: browser %1, server %2\r\n")
              .arg(protocol(m_browser->negotiatedProtocol()),
                  !m_serverError.isEmpty() ? QStringLiteral("none")
                      // An h2 connection has gone to its session by now; its summary stays.
                      : m_server->tlsSummary().contains(QStringLiteral("\r\nALPN: h2\r\n"))
                      ? QStringLiteral("h2")
                      : QStringLiteral("http/1.1"));
    return protocols
        + QStringLiteral("Browser side, answered with a certificate for %1:\r\n%2\r\nServer side, %1:\r\n%3")
              .arg(m_host, m_browser->tlsSummary(),
                  m_serverError.isEmpty() ? m_server->tlsSummary()
                                          : QStringLiteral("failed: ") + m_serverError);
}

bool TlsInterceptor::serverFailed() const
{
    return !m_serverError.isEmpty();
}

void TlsInterceptor::Socket_Encrypted()
{
    m_browserDone = true;
    readyIfBoth();
}

void TlsInterceptor::Socket_TlsFailed(const QString &reason)
{
    emit log(QStringLiteral("TLS with the browser failed for ") + m_host + QStringLiteral(" (") + reason
        + QStringLiteral(
            "): if it refused the certificate, export the CA certificate (Tools > HTTPS "
            "Decryption) and have the browser trust it, or add the host to the never-decrypt list."));
    emit browserFailed();
}

void TlsInterceptor::Server_TlsReady(bool ok, const QString &reason)
{
    m_serverDone = true;
    m_serverError = ok ? QString() : reason;
    if (!ok)
        emit log(QStringLiteral("Bad Gateway: ") + m_host + QStringLiteral(" - ") + reason);
    readyIfBoth();
}

void TlsInterceptor::readyIfBoth()
{
    if (m_browserDone && m_serverDone)
        emit ready();
}

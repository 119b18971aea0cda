#include "RequestGate.h"

#include "CProxyServer.h"
#include "CRequest.h"
#include "CertificateAuthority.h"
#include "HttpsDecryption.h"
#include "MessageHead.h"

#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>

namespace {
const QByteArray PemPath = "/tarnwick-ca.pem";
const QByteArray DerPath = "/tarnwick-ca.cer";

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

QByteArray page(const QString &address, qint32 port, bool decrypting)
{
    QByteArray html
        = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width\">"
          "<title>Tarnwick set-up</title></head><body>\n<h1>Record this device with Tarnwick</h1>\n"
          "<p>Proxy address: <b>"
        + escaped(address) + "</b><br>Port: <b>" + QByteArray::number(port) + "</b></p>\n";
    html += "<ol>\n<li>In the Wi-Fi settings of this network, set the proxy to manual and enter the "
            "address and port above.</li>\n";
    if (decrypting)
        html += "<li>Download the CA certificate: <a href=\"" + PemPath
            + "\">tarnwick-ca.pem</a> (PEM) or <a href=\"" + DerPath
            + "\">tarnwick-ca.cer</a> (DER, for Android and Windows).</li>\n"
              "<li>Install it as a CA certificate and trust it for web sites (on iOS: Settings &gt; General "
              "&gt; "
              "About &gt; Certificate Trust Settings).</li>\n";
    else
        html += "<li>HTTPS passes through unrecorded: turn on HTTPS decryption in Tarnwick to record it, "
                "then open this page again for its CA certificate.</li>\n";
    html += "<li>Browse: every request appears in Tarnwick's history.</li>\n</ol>\n</body></html>\n";
    return html;
}
} // namespace

QByteArray RequestGate::reply(int code, const QByteArray &reason, const QByteArray &contentType,
    const QByteArray &body, const QByteArray &extraFields, bool withBody)
{
    return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\n" + extraFields
        + "Content-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + (withBody ? body : QByteArray());
}

std::optional<RequestGate::Answer> RequestGate::judge(
    const CRequest &request, const CProxyServer *server, const QString &localIP, bool insideTunnel)
{
    if (!server)
        return std::nullopt;
    const std::shared_ptr<const ProxyAccess> access = server->access();
    if (!insideTunnel) {
        // Made again only when the options change: they remember the last value that passed.
        if (access != m_access) {
            m_access = access;
            m_credentials = ProxyCredentials(access->proxyUser, access->proxyPasswordHash);
        }
        // A client that asks for the set-up page in origin form speaks to the proxy as to a
        // server, and is asked as a server (RFC 9110 sections 11.6.1 and 11.7.1).
        const std::optional<HttpTarget> &target = request.target();
        const bool asServer = target && target->host.isEmpty();
        if (m_credentials.required()
            && !m_credentials.accepts(MessageHead::read(request.Request(), MessageHead::Reading::Strict)
                                          .value(asServer ? "authorization" : "proxy-authorization")
                                          .toByteArray())) {
            if (asServer)
                return Answer { reply(401, "Unauthorized", "text/plain", "Authentication required\r\n",
                                    "WWW-Authenticate: Basic realm=\"Tarnwick\"\r\n"),
                    QStringLiteral("Refused: 401 Unauthorized") };
            return Answer { reply(407, "Proxy Authentication Required", "text/plain",
                                "Proxy authentication required\r\n",
                                "Proxy-Authenticate: Basic realm=\"Tarnwick\"\r\n"),
                QStringLiteral("Refused: 407 Proxy Authentication Required") };
        }
    }
    return setupPage(request, server, localIP);
}

std::optional<RequestGate::Answer> RequestGate::setupPage(
    const CRequest &request, const CProxyServer *server, const QString &localIP) const
{
    const std::optional<HttpTarget> &target = request.target();
    if (!target || request.RequestType() == CRequest::TypeConnect)
        return std::nullopt;
    const bool originForm = target->host.isEmpty();
    if (!originForm && target->host.compare(QLatin1String(SetupHost), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QByteArray method = request.method();
    const bool head = method == "HEAD";
    QByteArray path = target->path;
    path.truncate(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
    if (path.isEmpty())
        path = "/";

    HttpsDecryption *https = server->httpsDecryption();
    const bool decrypting = https && https->active();
    std::optional<Answer> answer;
    if (method == "GET" || head) {
        if (path == "/") {
            // A listener on every address shows the one this client came in on.
            const QHostAddress listening(server->IP());
            const bool any = listening == QHostAddress(QHostAddress::AnyIPv4)
                || listening == QHostAddress(QHostAddress::AnyIPv6);
            answer = Answer { reply(200, "OK", "text/html; charset=utf-8",
                                  page(any ? localIP : server->IP(), server->Port(), decrypting), {}, !head),
                QStringLiteral("Set-up page") };
        } else if (decrypting && (path == PemPath || path == DerPath)) {
            QFile file(https->authority().certificatePath());
            QByteArray pem = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            const bool der = path == DerPath;
            const QByteArray body = der ? QSslCertificate(pem, QSsl::Pem).toDer() : pem;
            if (!body.isEmpty())
                answer = Answer { reply(200, "OK", der ? "application/pkix-cert" : "application/x-pem-file",
                                      body,
                                      "Content-Disposition: attachment; filename=\"tarnwick-ca"
                                          + QByteArray(der ? ".cer" : ".pem") + "\"\r\n",
                                      !head),
                    QStringLiteral("CA certificate download") };
        }
    }
    // In origin form anything else stays a malformed request for the proxy.
    if (!answer && !originForm)
        answer = Answer { reply(404, "Not Found", "text/plain", "Not found\r\n", {}, !head),
            QStringLiteral("Set-up page: 404 Not Found") };
    return answer;
}

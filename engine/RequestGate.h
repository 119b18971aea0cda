#pragma once

#include "ProxyCredentials.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class CProxyServer;
class CRequest;
struct ProxyAccess;

// What a browser connection answers itself before it forwards a request: a 407 while the client
// has not given the proxy's credentials, and the set-up page, asked for in origin form
// (http://<proxy address>:<port>/ typed into a phone) or through the proxy as
// http://tarnwick.invalid/, a name that never resolves. The page gives the proxy's address and
// port and, while HTTPS decryption is on, the CA to download as PEM and as DER.
class RequestGate
{
public:
    static constexpr char SetupHost[] = "tarnwick.invalid";

    struct Answer {
        QByteArray bytes; // the whole reply
        QString log; // what the access log says of it
    };
    // insideTunnel: the request came through a decrypted tunnel whose CONNECT passed already.
    // localIP: the address the client reached the proxy on. Empty when the request goes on.
    std::optional<Answer> judge(
        const CRequest &request, const CProxyServer *server, const QString &localIP, bool insideTunnel);

    // An answer that closes the connection after it.
    static QByteArray reply(int code, const QByteArray &reason, const QByteArray &contentType,
        const QByteArray &body, const QByteArray &extraFields = {}, bool withBody = true);

private:
    std::optional<Answer> setupPage(
        const CRequest &request, const CProxyServer *server, const QString &localIP) const;

    // The snapshot the credentials were taken from.
    std::shared_ptr<const ProxyAccess> m_access;
    ProxyCredentials m_credentials;
};

#include "UpstreamProxy.h"

#include "HttpTarget.h"
#include "HttpsSettings.h"

std::optional<UpstreamProxy::Endpoint> UpstreamProxy::parseEndpoint(const QString &text)
{
    const std::optional<HttpTarget> target = HttpTarget::fromAuthority(text.trimmed().toLatin1());
    if (!target || target->host.isEmpty() || target->port == 0)
        return std::nullopt;
    return Endpoint { target->host, target->port };
}

bool UpstreamProxy::usedFor(const QString &server) const
{
    return enabled() && !HttpsSettings::hostListed(bypass, server);
}

QString UpstreamProxy::name() const
{
    const QString shownHost
        = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shownHost + QLatin1Char(':') + QString::number(port);
}

QByteArray UpstreamProxy::authorization() const
{
    if (user.isEmpty())
        return {};
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

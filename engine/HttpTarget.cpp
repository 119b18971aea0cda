#include "HttpTarget.h"

#include <QHostAddress>

namespace {

bool isUnreservedOrSubDelim(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QByteArrayView("-._~!$&'()*+,;=").contains(c);
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// reg-name or IPv4address: unreserved, sub-delims and percent-escapes only.
bool isRegName(QByteArrayView text, bool colonAllowed)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
                return false;
            i += 2;
        } else if (!isUnreservedOrSubDelim(c) && !(colonAllowed && c == ':')) {
            return false;
        }
    }
    return true;
}

std::optional<HttpTarget> fail(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

std::optional<HttpTarget> parseAuthority(
    QByteArrayView authority, bool portRequired, QString *why, quint16 defaultPort = 80)
{
    // The first "@" ends the userinfo, which cannot hold one: "a@b@c" is refused, never
    // guessed at, since a server could pick another "@" than we do.
    const qsizetype at = authority.indexOf('@');
    if (at >= 0) {
        if (!isRegName(authority.first(at), true))
            return fail(why, QStringLiteral("Malformed user information in target"));
        authority = authority.sliced(at + 1);
    }

    HttpTarget out;
    out.authority = authority.toByteArray();
    QByteArrayView portText;
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        if (close < 0)
            return fail(why, QStringLiteral("Malformed IPv6 address in target"));
        const QByteArrayView literal = authority.sliced(1, close - 1);
        QHostAddress address;
        if (!address.setAddress(QString::fromLatin1(literal))
            || address.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(why, QStringLiteral("Malformed IPv6 address in target"));
        out.host = QString::fromLatin1(literal);
        const QByteArrayView rest = authority.sliced(close + 1);
        if (!rest.isEmpty()) {
            if (rest[0] != ':')
                return fail(why, QStringLiteral("Malformed host in target"));
            portText = rest.sliced(1);
        }
    } else {
        const qsizetype colon = authority.indexOf(':');
        const QByteArrayView host = colon >= 0 ? authority.first(colon) : authority;
        if (host.isEmpty() || !isRegName(host, false))
            return fail(why, QStringLiteral("Malformed host in target"));
        out.host = QString::fromLatin1(host).toLower();
        if (colon >= 0) {
            portText = authority.sliced(colon + 1);
        }
    }

    if (portText.isEmpty()) {
        // "host:" means the default port; CONNECT has none.
        if (portRequired)
            return fail(why, QStringLiteral("Port missing in target"));
        out.port = defaultPort;
        return out;
    }
    qint64 port = 0;
    for (const char c : portText) {
        if (c < '0' || c > '9')
            return fail(why, QStringLiteral("Malformed port in target"));
        port = port * 10 + (c - '0');
        if (port > 65535)
            return fail(why, QStringLiteral("Port out of range in target"));
    }
    if (port == 0)
        return fail(why, QStringLiteral("Port out of range in target"));
    out.port = static_cast<quint16>(port);
    return out;
}

} // namespace

std::optional<HttpTarget> HttpTarget::fromAbsolute(QByteArrayView target, QString *why)
{
    static constexpr QByteArrayView scheme("http://");
    if (target.startsWith('/'))
        return fail(why, QStringLiteral("Target is not an absolute URL"));
    if (target.size() < scheme.size() || target.first(scheme.size()).toByteArray().toLower() != scheme)
        return fail(why, QStringLiteral("Target is not an http:// URL"));
    const QByteArrayView rest = target.sliced(scheme.size());
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '/' && rest[end] != '?' && rest[end] != '#')
        ++end;
    std::optional<HttpTarget> out = parseAuthority(rest.first(end), false, why);
    if (out)
        out->path = rest.sliced(end).toByteArray();
    return out;
}

std::optional<HttpTarget> HttpTarget::fromUrl(QByteArrayView url, QString *why)
{
    static constexpr QByteArrayView scheme("https://");
    if (url.size() < scheme.size() || url.first(scheme.size()).toByteArray().toLower() != scheme)
        return fromAbsolute(url, why);
    const QByteArrayView rest = url.sliced(scheme.size());
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '/' && rest[end] != '?' && rest[end] != '#')
        ++end;
    std::optional<HttpTarget> out = parseAuthority(rest.first(end), false, why, 443);
    if (out) {
        out->path = rest.sliced(end).toByteArray();
        out->secure = true;
    }
    return out;
}

std::optional<HttpTarget> HttpTarget::fromAuthority(QByteArrayView authority, QString *why)
{
    return parseAuthority(authority, true, why);
}

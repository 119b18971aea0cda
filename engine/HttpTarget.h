#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Where a request goes, read strictly from its target (RFC 3986 authority, RFC 9112 section 3.2):
// the host (IPv6 literals without their brackets), the port and the origin-form path with its
// query. One reading serves the parser and the fetcher, so both always agree.
struct HttpTarget {
    QString host;
    quint16 port = 0;
    QByteArray path; // empty when the absolute form had no path
    bool secure = false; // https
    QByteArray authority; // "host[:port]" as the target wrote it, without userinfo

    // "http://[userinfo@]host[:port][/path][?query]", scheme case-insensitive. On failure the
    // result is empty and why says what is wrong.
    static std::optional<HttpTarget> fromAbsolute(QByteArrayView target, QString *why = nullptr);
    // As fromAbsolute, and "https://..." too (port 443 unless given).
    static std::optional<HttpTarget> fromUrl(QByteArrayView url, QString *why = nullptr);
    // "host:port" as CONNECT names it; the port is required.
    static std::optional<HttpTarget> fromAuthority(QByteArrayView authority, QString *why = nullptr);
};

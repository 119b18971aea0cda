#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Another HTTP proxy that server connections go through: plain requests in absolute form, and
// tunnels (decrypted ones too) opened with CONNECT. The hosts on the bypass list, in the patterns
// of the never-decrypt list, are reached directly.
struct UpstreamProxy {
    QString host;
    quint16 port = 0;
    QString user;
    QString password;
    QStringList bypass;

    // "host:port", "[v6]:port"; empty when it is not that.
    struct Endpoint {
        QString host;
        quint16 port = 0;
    };
    static std::optional<Endpoint> parseEndpoint(const QString &text);

    bool enabled() const { return !host.isEmpty() && port > 0; }
    // Connections to this server go through the upstream proxy.
    bool usedFor(const QString &server) const;
    // "host:port", as the log and the answers name it.
    QString name() const;
    // The Proxy-Authorization value to send, empty without a user name.
    QByteArray authorization() const;

    bool operator==(const UpstreamProxy &) const = default;
};

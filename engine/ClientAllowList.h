#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// The client addresses that may use the proxy: single addresses and CIDR ranges, IPv4 and IPv6.
// A connection from anywhere else is closed as it is accepted.
class ClientAllowList
{
public:
    // This machine only.
    ClientAllowList();

    // The default list as the options file and the dialog show it.
    static QString defaultText();
    // Comma-separated addresses and ranges ("192.168.1.0/24, 10.0.0.7"); empty when an entry is
    // neither, with why naming it.
    static std::optional<ClientAllowList> parse(const QString &text, QString *why = nullptr);

    bool allows(const QHostAddress &address) const;
    // Still this machine only, as by default.
    bool isDefault() const;
    QString text() const;

    bool operator==(const ClientAllowList &other) const { return m_text == other.m_text; }

private:
    QList<QPair<QHostAddress, int>> m_ranges;
    QString m_text;
};

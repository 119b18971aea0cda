#include "ClientAllowList.h"

#include <QStringList>

ClientAllowList::ClientAllowList()
    : m_ranges { { QHostAddress(QStringLiteral("127.0.0.0")), 8 },
        { QHostAddress(QHostAddress::LocalHostIPv6), 128 } }
    , m_text(defaultText())
{ }

QString ClientAllowList::defaultText()
{
    return QStringLiteral("127.0.0.0/8, ::1");
}

std::optional<ClientAllowList> ClientAllowList::parse(const QString &text, QString *why)
{
    ClientAllowList list;
    list.m_ranges.clear();
    QStringList shown;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString entry = part.trimmed();
        if (entry.isEmpty())
            continue;
        QPair<QHostAddress, int> range;
        if (entry.contains(QLatin1Char('/'))) {
            range = QHostAddress::parseSubnet(entry);
        } else if (range.first.setAddress(entry)) {
            range.second = range.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        }
        if (range.first.isNull() || range.second < 0) {
            if (why)
                *why = QStringLiteral("\"%1\" is neither an address nor a range like 192.168.1.0/24")
                           .arg(entry);
            return std::nullopt;
        }
        list.m_ranges.append(range);
        shown.append(entry);
    }
    list.m_text = shown.join(QStringLiteral(", "));
    return list;
}

bool ClientAllowList::allows(const QHostAddress &address) const
{
    // A listener on "::" sees IPv4 clients as mapped addresses; the list names them plainly.
    QHostAddress peer = address;
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped)
        peer = QHostAddress(v4);
    for (const auto &range : m_ranges)
        if (peer.isInSubnet(range))
            return true;
    return false;
}

bool ClientAllowList::isDefault() const
{
    return m_text == defaultText();
}

QString ClientAllowList::text() const
{
    return m_text;
}

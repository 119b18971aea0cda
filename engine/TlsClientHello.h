#pragma once

#include <QByteArrayView>
#include <QString>

// Looks at the first bytes a browser sends through a CONNECT tunnel, without taking them: are
// they the start of a TLS handshake, and which server name (SNI) does the ClientHello ask for?
// Only the first TLS record is read (RFC 8446 sections 4.1.2 and 5.1; RFC 6066 section 3).
struct TlsClientHello {
    enum class Kind { NeedMore, NotTls, Tls };

    Kind kind = Kind::NeedMore;
    QString serverName; // empty when the ClientHello names none

    // The bytes received so far; NeedMore until the first record is complete.
    static TlsClientHello read(QByteArrayView bytes);
};

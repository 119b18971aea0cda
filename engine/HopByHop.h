#pragma once

#include <QByteArrayView>

// The header fields that concern one connection only and never travel past it: those of RFC 9110
// section 7.6.1, and the proxy's own credentials. Forwarding and the curl copy both ask here, so
// that neither passes on what the other drops.
class HopByHop
{
public:
    // Connection, Proxy-Connection, Keep-Alive, TE, Trailer, Transfer-Encoding, Upgrade,
    // Proxy-Authorization and Proxy-Authenticate, in any case.
    static bool contains(QByteArrayView name);
};

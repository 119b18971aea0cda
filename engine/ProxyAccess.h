#pragma once

#include "ClientAllowList.h"
#include "UpstreamProxy.h"

#include <QString>

// Who may use the proxy and how it reaches servers, as the options set them. The server keeps
// one snapshot that network threads read; a change replaces the snapshot whole.
struct ProxyAccess {
    ClientAllowList allowClients;
    // Clients must authenticate when a user is set.
    QString proxyUser;
    QString proxyPasswordHash;
    UpstreamProxy upstream;

    bool operator==(const ProxyAccess &) const = default;
};

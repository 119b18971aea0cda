#include "HopByHop.h"

bool HopByHop::contains(QByteArrayView name)
{
    static constexpr QByteArrayView fields[] = { "connection", "proxy-connection", "keep-alive", "te",
        "trailer", "transfer-encoding", "upgrade", "proxy-authorization", "proxy-authenticate" };
    for (const QByteArrayView field : fields) {
        if (name.compare(field, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

#include "device/NetworkInterfaces.h"

#include <QFile>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace glimmet {

NetworkInterfaces NetworkInterfaces::current() {
    NetworkInterfaces result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
                continue;
            if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
                continue;
            char host[NI_MAXHOST] = {};
            if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                              NI_NUMERICHOST) != 0)
                continue;
            result.addresses.append({QString::fromLocal8Bit(entry->ifa_name), QString::fromLatin1(host)});
        }
        ::freeifaddrs(list);
    }
    QFile routes(QStringLiteral("/proc/net/route"));
    if (routes.open(QIODevice::ReadOnly))
        result.defaultRouteInterface = defaultRouteInterfaceIn(routes.read(1 << 20));
    return result;
}

QString NetworkInterfaces::defaultRouteInterfaceIn(QByteArrayView routeTable) {
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the first line is
    // the header.
    const QList<QByteArray> lines = routeTable.toByteArray().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> columns = lines[i].simplified().split(' ');
        if (columns.size() >= 8 && columns[1] == "00000000" && columns[7] == "00000000")
            return QString::fromLocal8Bit(columns[0]);
    }
    return {};
}

std::optional<QString> NetworkInterfaces::preferredIPv4() const {
    if (addresses.isEmpty())
        return std::nullopt;
    for (const QString& preferred : {QStringLiteral("en0"), defaultRouteInterface}) {
        for (const auto& entry : addresses) {
            if (!preferred.isEmpty() && entry.interface == preferred)
                return entry.address;
        }
    }
    return addresses.first().address;
}

} // namespace glimmet

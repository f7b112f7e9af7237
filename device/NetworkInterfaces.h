#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace glimmet {

// An IPv4 address (dotted text) of a network interface.
struct InterfaceAddress {
    QString interface;
    QString address;
};

// The computer's IPv4 addresses on interfaces that are up and not loopback, in enumeration
// order, and the interface of the default route. A plain value; current() reads the system.
struct NetworkInterfaces {
    QList<InterfaceAddress> addresses;
    QString defaultRouteInterface;

    // getifaddrs() and /proc/net/route.
    static NetworkInterfaces current();
    // The interface of the first default route (destination and mask 0) in a route table
    // laid out like /proc/net/route; empty when there is none.
    static QString defaultRouteInterfaceIn(QByteArrayView routeTable);

    // The LAN address: the first on "en0", else the first on the default route's interface,
    // else the first of all.
    std::optional<QString> preferredIPv4() const;
};

} // namespace glimmet

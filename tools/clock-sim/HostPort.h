#pragma once

#include <QString>

#include <optional>

namespace glimmet {

// A "HOST:PORT" address as given on the command line or by the bridge ("http://" and a
// trailing "/" are allowed, IPv6 hosts in brackets).
struct HostPort {
    QString host;
    quint16 port = 0;

    // Absent when the host is empty or the port is not 0-65535; `defaultPort` when none is given.
    static std::optional<HostPort> parse(QString text, quint16 defaultPort);
    QString text() const;
};

} // namespace glimmet

#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace glimmet {

// Cumulative bytes received and sent over the wired and wireless interfaces.
struct NetCounters {
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};

// Where the network monitor reads its byte counters: one implementation per platform.
// Called on the main thread by the sampling timer.
class NetCounterSource {
public:
    virtual ~NetCounterSource() = default;
    // The totals now, or nothing when the interface list cannot be read at all.
    virtual std::optional<NetCounters> counters() = 0;
};

// Linux: sums statistics/rx_bytes and tx_bytes of every interface in the sysfs network
// folder whose name starts with "en", "eth" or "wl" (loopback, bridges and tunnels do not count).
class SysfsNetCounterSource final : public NetCounterSource {
public:
    explicit SysfsNetCounterSource(QString root = QStringLiteral("/sys/class/net"));
    std::optional<NetCounters> counters() override;

private:
    const QString root;
};

} // namespace glimmet

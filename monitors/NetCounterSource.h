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

// Linux: sums the received and sent bytes in /proc/net/dev of every interface whose name
// starts with "en", "eth" or "wl" (loopback, bridges and tunnels do not count). The file stays
// open and is read again from its start: one read for all interfaces, four times a second.
class ProcNetCounterSource final : public NetCounterSource {
public:
    explicit ProcNetCounterSource(QString path = QStringLiteral("/proc/net/dev"));
    ~ProcNetCounterSource() override;

    ProcNetCounterSource(const ProcNetCounterSource&) = delete;
    ProcNetCounterSource& operator=(const ProcNetCounterSource&) = delete;

    std::optional<NetCounters> counters() override;

private:
    const QByteArray path;
    int fd = -1;
};

} // namespace glimmet

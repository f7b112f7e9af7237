#pragma once

#include "common/Clock.h"
#include "status/OtlpBatch.h"
#include "status/RelaySummary.h"
#include "status/Snapshot.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace glimmet {

class ModelPricing;
struct DayWindow;

// How long a host's figures count after it was last heard of, in seconds.
struct FreshnessWindows {
    double relay = 120.0; // a relay reports at least every 30 s
    double otlp = 600.0;  // an exporter sends only while its agent runs
};

// One agent on one remote host as it counts now.
struct RemoteAgentView {
    QString status = QStringLiteral("offline"); // "working", "idle" or "offline"
    bool needsInput = false;
    std::int64_t tokensToday = 0;          // 0 unless the host's figures count
    std::optional<double> costToday = 0.0; // absent when some of it could not be priced
    bool costComplete = true;
    std::int64_t lastActivityAt = 0; // epoch seconds; 0 when none

    bool operator==(const RemoteAgentView&) const = default;
};

// One host as GET /hosts and the tray menu show it.
struct RemoteHostView {
    QString host;
    bool local = false;   // the bridge's own machine: it adds state, never figures
    QStringList sources;  // what it was heard through: "hooks", "relay", "otlp"
    double lastSeen = 0;  // epoch seconds
    double silentFor = 0; // seconds since then
    bool counted = false; // its figures join the status document's sums now
    RemoteAgentView claude;
    RemoteAgentView codex;
};

// The agents of other machines, from hook events that name their host, relay summaries
// (POST /hosts/report) and OpenTelemetry exports (POST /v1/logs, /v1/metrics). Lays over the
// status document the most urgent state of every host and, while a host is fresh (a relay
// heard within `FreshnessWindows::relay`, an exporter within `Windows::otlp`) and its day is the
// bridge's local day, its tokens and cost. The bridge's own host adds state only: its own logs
// count its tokens. Keeps at most maxHosts hosts; the one heard from longest ago makes way.
// Thread-safe (one lock, never held across callbacks); the app owns it, the status service
// and the routes hold it.
class RemoteHosts {
public:
    static constexpr int maxHosts = 64;
    // Per host, the identities of this many of the latest usage records are kept, so that an
    // export sent again (an exporter's retry) counts once.
    static constexpr int maxRecordKeys = 4096;

    // `ownHost` is this machine's host name. Without a price table the process-wide one is used.
    RemoteHosts(QString ownHost, std::shared_ptr<const Clock> clock,
                std::shared_ptr<const ModelPricing> pricing = nullptr, FreshnessWindows windows = {});
    ~RemoteHosts();

    // The bridge's own host name in any letter case, "localhost", or no name.
    bool isOwnHost(const QString& host) const;

    // A hook event of `agent` ("claude" or "codex"; others are ignored) on another host.
    void recordEvent(const QString& host, const QString& agent, const QString& event,
                     const std::optional<QString>& message);
    void recordReport(const RelaySummary& report);
    // The records of one export. A record whose resource names no host belongs to `sender`
    // (the peer's address; a loopback sender is this machine).
    void recordOtlp(const OtlpBatch& batch, const QString& sender);

    // Every host kept, by name.
    std::vector<RemoteHostView> hosts() const;
    // hosts() as a JSON array (the body of GET /hosts).
    QByteArray hostsJson() const;

    // Lays the remote agents over a status document taken at `now`: each agent's most urgent
    // state (needs input, working, idle, offline) and newest activity, and the counted hosts'
    // tokens and cost added (the cost complete only when every part is).
    void mergeInto(Snapshot& snapshot, double now) const;

private:
    struct Tally; // today's figures of one agent from one kind of OpenTelemetry signal
    struct Agent;
    struct Host;
    struct Today {
        QString day;
        double start = 0;
    };

    Host& hostFor(const QString& name, double now);
    Today today(double now) const;
    std::optional<double> price(const OtlpRecord& usage) const;
    void count(Host& host, Agent& agent, const OtlpRecord& record, double now, const DayWindow& day);
    RemoteAgentView view(const Host& host, const Agent& agent, double now, const Today& today,
                         bool* counted) const;
    RemoteHostView view(const Host& host, double now, const Today& today) const;

    const QString ownHost;
    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const ModelPricing> pricing;
    const FreshnessWindows windows;
    mutable std::mutex lock;
    std::vector<std::unique_ptr<Host>> _hosts;
    std::uint64_t pricesSeen = 0;
};

} // namespace glimmet

#pragma once

#include "common/Clock.h"
#include "common/SerialQueue.h"
#include "status/Snapshot.h"
#include "status/UsageSource.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace glimmet {

class ClaudeScanner;
class CodexScanner;
class ModelPricing;
class RemoteHosts;

// Knows what Claude Code and Codex are doing and serves the status document: a cached scan
// of their session logs (rescanned on "glimmet.status-scan" once 5 s old) with the hook
// events, quota readings and music flag laid over it at every call. Callable from any
// thread; always owned by a std::shared_ptr (the app keeps one for the process's life).
class StatusService : public std::enable_shared_from_this<StatusService> {
public:
    static constexpr double workingEventTTL = 600.0;
    static constexpr double idleEventTTL = 60.0;
    static constexpr double needsInputTTL = 300.0;
    static constexpr double workingThreshold = 20.0;
    static constexpr double idleThreshold = 1800.0;
    static constexpr double cacheTTL = 5.0;

    // Without a price table the process-wide one is used.
    explicit StatusService(std::shared_ptr<const Clock> clock = Clock::system(),
                           std::shared_ptr<const ModelPricing> pricing = nullptr);
    virtual ~StatusService();

    const QString claudeDir; // ~/.claude/projects
    const QString codexDir;  // ~/.codex/sessions

    // Set once at start-up, before the first request.
    void setUsage(std::shared_ptr<const UsageSource> usage);
    void setMusicPlayingProvider(std::function<bool()> provider);
    // The agents of other machines, laid over the local ones at every call.
    void setRemoteHosts(std::shared_ptr<const RemoteHosts> remote);
    // Runs on the scan queue after every background scan: the document may have changed.
    void setOnScan(std::function<void()> onScan);

    // The current document. Without waiting it never touches files: a stale cache starts a
    // background scan and is served meanwhile. With waiting, a needed scan runs first on
    // the calling thread.
    Snapshot snapshot(bool waitForRefresh);

    // A hook event posted by an agent ("claude" or "codex"; other agents only count task starts).
    void recordEvent(const QString& agent, const QString& event, const std::optional<QString>& message);

    // The status shown for an agent whose logs gave `base` in a scan that began reading them at
    // `scannedAt` (0 before the first scan), given its last hook event.
    static QString overrideStatus(const QString& base, const std::optional<AgentEvent>& event, double now,
                                  double scannedAt);
    static bool isPermissionNotification(const std::optional<QString>& message);

    // What a hook event says of its agent: a new state ("working" or "idle"), or that the
    // agent waits for the user, or nothing (no state and no mark).
    struct HookEffect {
        QString state;
        bool needsInput = false;
    };
    static HookEffect hookEffect(const QString& event, const std::optional<QString>& message);

    SerialQueue& scanQueue() { return _scanQueue; }

protected:
    // One read of each agent's logs; called on the scan queue (or by a waiting caller, but
    // never by two scans at once) without the lock held.
    virtual ClaudeStatus readClaude();
    virtual CodexStatus readCodex();

    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const ModelPricing> pricing;

private:
    // What the hook events of one agent left behind.
    struct AgentHooks {
        std::optional<AgentEvent> event;
        std::optional<double> needsInputAt;
        bool fastMode = false;           // seen by the last completed scan
        std::int64_t hookTaskSeq = 0;    // latest task start counted for fast mode (ms)
        std::int64_t pendingTaskSeq = 0; // latest task start since the last completed scan (ms)
    };

    void refreshCache();
    AgentHooks* hooksFor(const QString& agent);

    std::mutex lock;
    std::shared_ptr<const UsageSource> usage;
    std::function<bool()> musicPlayingProvider;
    std::shared_ptr<const RemoteHosts> remote;
    std::function<void()> onScan;
    AgentHooks claudeHooks;
    AgentHooks codexHooks;
    std::uint64_t taskEventGeneration = 0;
    std::optional<Snapshot> cached;
    double cachedAt = 0;
    double cachedScanStart = 0; // when the scan behind `cached` began reading the logs
    bool refreshInFlight = false;
    // What the scans keep of the logs; used only by the one scan in flight.
    const std::unique_ptr<ClaudeScanner> claudeScanner;
    const std::unique_ptr<CodexScanner> codexScanner;
    SerialQueue _scanQueue{QStringLiteral("glimmet.status-scan")};
};

} // namespace glimmet

#include "status/StatusService.h"

#include "common/Json.h"
#include "status/ClaudeScanner.h"
#include "status/CodexScanner.h"
#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"

#include <QDir>

#include <algorithm>

namespace glimmet {

namespace {

const QStringList workingEvents{
    QStringLiteral("UserPromptSubmit"), QStringLiteral("PreToolUse"),     QStringLiteral("PostToolUse"),
    QStringLiteral("SubagentStart"),    QStringLiteral("SubagentStop"),   QStringLiteral("PreCompact"),
    QStringLiteral("PostCompact"),      QStringLiteral("WorktreeCreate"), QStringLiteral("task_started"),
    QStringLiteral("TaskStarted"),
};
const QStringList idleEvents{QStringLiteral("Stop"), QStringLiteral("SessionEnd"),
                             QStringLiteral("SessionStart")};
const QStringList attentionEvents{QStringLiteral("Elicitation"), QStringLiteral("PermissionRequest")};
const QStringList taskStartEvents{QStringLiteral("UserPromptSubmit"), QStringLiteral("task_started"),
                                  QStringLiteral("TaskStarted")};

std::int64_t epochSeconds(double now) {
    return truncatedInteger(now).value_or(0);
}

std::int64_t truncatedMillis(double now) {
    return truncatedInteger(now * 1000.0).value_or(0);
}

bool needsInput(const std::optional<double>& at, double now) {
    return at && now - *at < StatusService::needsInputTTL;
}

} // namespace

StatusService::StatusService(std::shared_ptr<const Clock> clock, std::shared_ptr<const ModelPricing> pricing)
    : claudeDir(QDir::homePath() + QStringLiteral("/.claude/projects"))
    , codexDir(QDir::homePath() + QStringLiteral("/.codex/sessions"))
    , clock(std::move(clock))
    , pricing(pricing ? std::move(pricing) : ModelPricing::shared())
    , claudeScanner(std::make_unique<ClaudeScanner>(claudeDir))
    , codexScanner(std::make_unique<CodexScanner>(codexDir)) {}

StatusService::~StatusService() = default;

void StatusService::setUsage(std::shared_ptr<const UsageSource> source) {
    std::lock_guard guard(lock);
    usage = std::move(source);
}

void StatusService::setMusicPlayingProvider(std::function<bool()> provider) {
    std::lock_guard guard(lock);
    musicPlayingProvider = std::move(provider);
}

void StatusService::setRemoteHosts(std::shared_ptr<const RemoteHosts> hosts) {
    std::lock_guard guard(lock);
    remote = std::move(hosts);
}

void StatusService::setOnScan(std::function<void()> callback) {
    std::lock_guard guard(lock);
    onScan = std::move(callback);
}

Snapshot StatusService::snapshot(bool waitForRefresh) {
    std::unique_lock guard(lock);
    const double now = clock->now();
    bool startsScan = false;
    if ((!cached || now - cachedAt >= cacheTTL) && !refreshInFlight) {
        refreshInFlight = true;
        startsScan = true;
    }
    Snapshot result = cached.value_or(Snapshot::offline(epochSeconds(now)));
    const double scannedAt = cachedScanStart;
    const auto usageSource = usage;
    const auto musicPlaying = musicPlayingProvider;
    const auto remoteHosts = remote;
    const AgentHooks claudeState = claudeHooks;
    const AgentHooks codexState = codexHooks;
    guard.unlock();

    if (startsScan) {
        if (waitForRefresh) {
            refreshCache();
            return snapshot(false);
        }
        _scanQueue.async([weak = weak_from_this()] {
            const auto service = weak.lock();
            if (!service)
                return;
            service->refreshCache();
            std::function<void()> scanned;
            {
                std::lock_guard guard(service->lock);
                scanned = service->onScan;
            }
            if (scanned)
                scanned();
        });
    }

    result.ts = epochSeconds(now);
    if (usageSource) {
        const ProviderUsage claudeUsage = usageSource->usage(UsageProvider::Claude);
        result.claude.fiveHourPct = claudeUsage.primaryPct;
        result.claude.fiveHourResetMin = claudeUsage.primaryResetMin;
        result.claude.sevenDayPct = claudeUsage.weeklyPct;
        result.claude.sevenDayResetMin = claudeUsage.weeklyResetMin;
        result.claude.fablePct = claudeUsage.fablePct;
        const ProviderUsage codexUsage = usageSource->usage(UsageProvider::Codex);
        if (codexUsage.weeklyPct) {
            result.codex.weeklyPct = codexUsage.weeklyPct;
            result.codex.weeklyResetMin = codexUsage.weeklyResetMin;
        }
        result.grok = usageSource->usage(UsageProvider::Grok);
        result.kimi = usageSource->usage(UsageProvider::Kimi);
    }
    result.claude.status = overrideStatus(result.claude.status, claudeState.event, now, scannedAt);
    result.codex.status = overrideStatus(result.codex.status, codexState.event, now, scannedAt);
    result.claude.needsInput = needsInput(claudeState.needsInputAt, now);
    result.codex.needsInput = needsInput(codexState.needsInputAt, now);
    result.claude.fastTaskSeq = std::max(result.claude.fastTaskSeq, claudeState.hookTaskSeq);
    result.codex.fastTaskSeq = std::max(result.codex.fastTaskSeq, codexState.hookTaskSeq);
    if (remoteHosts)
        remoteHosts->mergeInto(result, now);
    result.preferredAgent = result.claude.lastActivityAt > result.codex.lastActivityAt
                                ? QStringLiteral("claude")
                                : QStringLiteral("codex");
    result.musicPlaying = musicPlaying ? musicPlaying() : false;
    return result;
}

void StatusService::refreshCache() {
    std::uint64_t startGeneration = 0;
    {
        std::lock_guard guard(lock);
        startGeneration = taskEventGeneration;
    }
    const double now = clock->now();
    Snapshot scanned = Snapshot::offline(epochSeconds(now));
    scanned.claude = readClaude();
    scanned.codex = readCodex();

    std::lock_guard guard(lock);
    const bool undisturbed = taskEventGeneration == startGeneration;
    if (undisturbed) {
        for (auto [hooks, fast] : {std::pair{&claudeHooks, scanned.claude.fastMode},
                                   std::pair{&codexHooks, scanned.codex.fastMode}}) {
            hooks->fastMode = fast;
            if (fast)
                hooks->hookTaskSeq = std::max(hooks->hookTaskSeq, hooks->pendingTaskSeq);
            hooks->pendingTaskSeq = 0;
        }
    }
    cached = std::move(scanned);
    cachedScanStart = now;
    // A task started while the logs were read may not be in them yet: scan again at once.
    cachedAt = undisturbed ? clock->now() : 0;
    refreshInFlight = false;
}

StatusService::AgentHooks* StatusService::hooksFor(const QString& agent) {
    if (agent == u"claude")
        return &claudeHooks;
    if (agent == u"codex")
        return &codexHooks;
    return nullptr;
}

void StatusService::recordEvent(const QString& agent, const QString& event,
                                const std::optional<QString>& message) {
    std::lock_guard guard(lock);
    const double now = clock->now();
    AgentHooks* hooks = hooksFor(agent);

    if (taskStartEvents.contains(event)) {
        ++taskEventGeneration;
        const std::int64_t ms = truncatedMillis(now);
        if (hooks) {
            hooks->pendingTaskSeq = std::max(hooks->pendingTaskSeq, ms);
            if (hooks->fastMode)
                hooks->hookTaskSeq = std::max(hooks->hookTaskSeq, ms);
        }
    }
    if (!hooks)
        return;
    const HookEffect effect = hookEffect(event, message);
    if (effect.needsInput) {
        hooks->needsInputAt = now;
    } else if (!effect.state.isEmpty()) {
        hooks->event = AgentEvent{effect.state, now};
        hooks->needsInputAt.reset();
    }
}

StatusService::HookEffect StatusService::hookEffect(const QString& event,
                                                    const std::optional<QString>& message) {
    if (event == u"Notification")
        return {QString(), isPermissionNotification(message)};
    if (attentionEvents.contains(event))
        return {QString(), true};
    return {workingEvents.contains(event) ? QStringLiteral("working")
            : idleEvents.contains(event)  ? QStringLiteral("idle")
                                          : QString(),
            false};
}

bool StatusService::isPermissionNotification(const std::optional<QString>& message) {
    if (!message)
        return false;
    const QString lower = message->toLower();
    return lower.contains(u"permission") || lower.contains(u"approve") || lower.contains(u"approval");
}

QString StatusService::overrideStatus(const QString& base, const std::optional<AgentEvent>& event, double now,
                                      double scannedAt) {
    if (!event)
        return base;
    const double age = now - event->at;
    if (event->state == u"working" && age < workingEventTTL)
        return QStringLiteral("working");
    if (event->state != u"idle" || age >= idleEventTTL)
        return base;
    // The logs were written moments before the agent stopped, so they still look busy. A scan
    // that began before the event may not have seen them at all (a new session's first log):
    // its "offline" says nothing about an agent that has just reported in.
    if (base == u"working" || (base == u"offline" && scannedAt <= event->at))
        return QStringLiteral("idle");
    return base;
}

ClaudeStatus StatusService::readClaude() {
    return claudeScanner->read(clock->now(), clock->timeZone(), *pricing);
}

CodexStatus StatusService::readCodex() {
    return codexScanner->read(clock->now(), clock->timeZone(), *pricing);
}

} // namespace glimmet

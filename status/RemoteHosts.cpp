#include "status/RemoteHosts.h"

#include "common/Json.h"
#include "status/ClaudeScanner.h"
#include "status/DayWindow.h"
#include "status/ModelPricing.h"
#include "status/SessionLogs.h"
#include "status/StatusService.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <functional>

namespace glimmet {

namespace {

int urgency(const QString& status) {
    return status == u"working" ? 2 : status == u"idle" ? 1 : 0;
}

const QString& moreUrgent(const QString& a, const QString& b) {
    return urgency(b) > urgency(a) ? b : a;
}

std::int64_t seconds(double t) {
    return truncatedInteger(t).value_or(0);
}

QJsonObject agentJson(const RemoteAgentView& a) {
    return {
        {QStringLiteral("status"), a.status},
        {QStringLiteral("needs_input"), a.needsInput},
        {QStringLiteral("tokens_today"), qint64(a.tokensToday)},
        {QStringLiteral("cost_today_usd"), a.costToday ? QJsonValue(*a.costToday) : QJsonValue()},
        {QStringLiteral("cost_complete"), a.costComplete},
        {QStringLiteral("last_activity_at"), qint64(a.lastActivityAt)},
    };
}

} // namespace

struct RemoteHosts::Tally {
    std::int64_t tokens = 0;
    double cost = 0;
    bool any = false;                           // a usage record was counted
    std::map<std::string, OtlpRecord> unpriced; // tokens no price was found for yet, by model
};

struct RemoteHosts::Agent {
    std::optional<AgentEvent> event; // the last state-bearing hook event
    std::optional<double> needsInputAt;
    std::optional<RelayAgent> relay; // from the last relay summary
    double otlpActivity = 0;         // the latest exported event
    Tally logs;
    Tally metrics; // counted only while the logs carry no usage
};

struct RemoteHosts::Host {
    QString name;
    bool own = false;
    double lastSeen = 0;
    std::optional<double> hooksAt, relayAt, otlpAt; // the last word through each source
    QString relayDay;                               // the host's day in its last summary
    double otlpDayStart = 0;                        // the day the OpenTelemetry tallies are for
    std::unordered_set<std::uint64_t> keys;         // the usage records counted today
    std::deque<std::uint64_t> keyOrder;             // the same, oldest first
    Agent claude;
    Agent codex;

    Agent* agent(AgentKind kind) { return kind == AgentKind::Claude ? &claude : &codex; }
    // False when the record was counted already; otherwise remembers it.
    bool firstSighting(const std::string& key) {
        const std::uint64_t hash = std::hash<std::string>{}(key);
        if (!keys.insert(hash).second)
            return false;
        keyOrder.push_back(hash);
        if (keyOrder.size() > size_t(maxRecordKeys)) {
            keys.erase(keyOrder.front());
            keyOrder.pop_front();
        }
        return true;
    }
};

RemoteHosts::RemoteHosts(QString ownHost, std::shared_ptr<const Clock> clock,
                         std::shared_ptr<const ModelPricing> pricing, FreshnessWindows windows)
    : ownHost(std::move(ownHost))
    , clock(std::move(clock))
    , pricing(pricing ? std::move(pricing) : ModelPricing::shared())
    , windows(windows) {}

RemoteHosts::~RemoteHosts() = default;

bool RemoteHosts::isOwnHost(const QString& host) const {
    return host.isEmpty() || host.compare(ownHost, Qt::CaseInsensitive) == 0 ||
           host.compare(u"localhost", Qt::CaseInsensitive) == 0;
}

RemoteHosts::Host& RemoteHosts::hostFor(const QString& name, double now) {
    for (const auto& host : _hosts) {
        if (host->name == name) {
            host->lastSeen = now;
            return *host;
        }
    }
    if (_hosts.size() >= size_t(maxHosts))
        _hosts.erase(std::min_element(_hosts.begin(), _hosts.end(), [](const auto& a, const auto& b) {
            return a->lastSeen < b->lastSeen;
        }));
    auto& host = _hosts.emplace_back(std::make_unique<Host>());
    host->name = name;
    host->own = isOwnHost(name);
    host->lastSeen = now;
    return *host;
}

RemoteHosts::Today RemoteHosts::today(double now) const {
    const QTimeZone zone = clock->timeZone();
    return {localDay(now, zone), todayWindow(now, zone).todayStart};
}

void RemoteHosts::recordEvent(const QString& host, const QString& agentName, const QString& event,
                              const std::optional<QString>& message) {
    if (agentName != u"claude" && agentName != u"codex")
        return;
    const AgentKind kind = agentName == u"claude" ? AgentKind::Claude : AgentKind::Codex;
    const StatusService::HookEffect effect = StatusService::hookEffect(event, message);
    std::lock_guard guard(lock);
    const double now = clock->now();
    Host& h = hostFor(host, now);
    h.hooksAt = now;
    Agent& agent = *h.agent(kind);
    if (effect.needsInput) {
        agent.needsInputAt = now;
    } else if (!effect.state.isEmpty()) {
        agent.event = AgentEvent{effect.state, now};
        agent.needsInputAt.reset();
    }
}

void RemoteHosts::recordReport(const RelaySummary& report) {
    std::lock_guard guard(lock);
    const double now = clock->now();
    Host& h = hostFor(report.host, now);
    h.relayAt = now;
    h.relayDay = report.day;
    for (auto [agent, reported] : {std::pair{&h.claude, report.claude}, std::pair{&h.codex, report.codex}}) {
        agent->relay = reported;
        // A host whose clock runs ahead must not claim activity later than its report.
        agent->relay->lastActivityAt = std::min(reported.lastActivityAt, seconds(now));
    }
}

std::optional<double> RemoteHosts::price(const OtlpRecord& usage) const {
    const auto rates = pricing->price(QString::fromStdString(usage.model), false);
    if (!rates)
        return std::nullopt;
    return double(usage.input) * rates->input + double(usage.output) * rates->output +
           double(usage.cacheRead) * rates->cachedInput + double(usage.cacheWrite5m) * rates->cacheWrite +
           double(usage.cacheWrite1h) * rates->cacheWrite1h;
}

void RemoteHosts::count(Host& host, Agent& agent, const OtlpRecord& record, double now,
                        const DayWindow& day) {
    agent.otlpActivity = std::max(agent.otlpActivity, record.time > 0 ? std::min(record.time, now) : now);
    if (!record.usage || host.own)
        return;
    if (host.otlpDayStart != day.todayStart) { // a new day: yesterday's figures and keys go
        host.otlpDayStart = day.todayStart;
        host.keys.clear();
        host.keyOrder.clear();
        for (Agent* a : {&host.claude, &host.codex})
            a->logs = a->metrics = Tally();
    }
    if (record.time > 0 && !day.contains(record.time))
        return;
    if (!host.firstSighting(record.key))
        return;
    Tally& tally = record.fromMetrics ? agent.metrics : agent.logs;
    tally.any = true;
    tally.tokens = addCounts(tally.tokens, record.tokens());
    if (const auto cost = record.cost ? record.cost : price(record)) {
        tally.cost += *cost;
        return;
    }
    OtlpRecord& pile = tally.unpriced[record.model];
    pile.model = record.model;
    pile.input = addCounts(pile.input, record.input);
    pile.output = addCounts(pile.output, record.output);
    pile.cacheRead = addCounts(pile.cacheRead, record.cacheRead);
    pile.cacheWrite5m = addCounts(pile.cacheWrite5m, record.cacheWrite5m);
    pile.cacheWrite1h = addCounts(pile.cacheWrite1h, record.cacheWrite1h);
}

void RemoteHosts::recordOtlp(const OtlpBatch& batch, const QString& sender) {
    const QString senderHost = QHostAddress(sender).isLoopback() ? ownHost : sender;
    std::lock_guard guard(lock);
    const double now = clock->now();
    if (const std::uint64_t generation = pricing->generation(); generation != pricesSeen) {
        // Prices that arrived since may price what could not be priced before.
        pricesSeen = generation;
        for (const auto& host : _hosts) {
            for (Agent* agent : {&host->claude, &host->codex}) {
                for (Tally* tally : {&agent->logs, &agent->metrics}) {
                    std::erase_if(tally->unpriced, [&](const auto& entry) {
                        const auto cost = price(entry.second);
                        tally->cost += cost.value_or(0);
                        return cost.has_value();
                    });
                }
            }
        }
    }
    const DayWindow day = todayWindow(now, clock->timeZone());
    for (const OtlpRecord& record : batch.records) {
        const QString name = record.host.empty() ? senderHost : QString::fromStdString(record.host).left(255);
        Host& host = hostFor(name, now);
        host.otlpAt = now;
        count(host, *host.agent(record.agent), record, now, day);
    }
}

RemoteAgentView RemoteHosts::view(const Host& h, const Agent& a, double now, const Today& day,
                                  bool* counted) const {
    RemoteAgentView v;
    const bool relayFresh = h.relayAt && now - *h.relayAt < windows.relay && a.relay;
    const bool otlpFresh = h.otlpAt && now - *h.otlpAt < windows.otlp;

    // The latest activity heard of, and the state it gives, before the hook events say more.
    double last = 0;
    QString base = QStringLiteral("offline");
    if (relayFresh) {
        base = moreUrgent(base, a.relay->status);
        last = double(a.relay->lastActivityAt);
    }
    if (otlpFresh && a.otlpActivity > 0) {
        base = moreUrgent(base, activityStatus(a.otlpActivity, now));
        last = std::max(last, a.otlpActivity);
    }
    if (a.event) {
        base = moreUrgent(base, activityStatus(a.event->at, now));
        last = std::max(last, a.event->at);
    }
    v.status = StatusService::overrideStatus(base, a.event, now, now); // the base is as of now
    v.needsInput = a.needsInputAt && now - *a.needsInputAt < StatusService::needsInputTTL;
    v.lastActivityAt = seconds(last);

    *counted = false;
    if (h.own)
        return v;
    if (relayFresh && h.relayDay == day.day) {
        *counted = true;
        v.tokensToday = a.relay->tokensToday;
        v.costToday = a.relay->costToday;
        v.costComplete = a.relay->costComplete;
    } else if (otlpFresh && h.otlpDayStart == day.start) {
        *counted = true;
        const Tally& tally = a.logs.any ? a.logs : a.metrics;
        v.tokensToday = tally.tokens;
        v.costComplete = tally.unpriced.empty();
        v.costToday = v.costComplete ? std::optional(tally.cost) : std::nullopt;
    }
    return v;
}

RemoteHostView RemoteHosts::view(const Host& h, double now, const Today& day) const {
    RemoteHostView v;
    v.host = h.name;
    v.local = h.own;
    v.lastSeen = h.lastSeen;
    v.silentFor = std::max(0.0, now - h.lastSeen);
    for (const auto& [at, source] :
         {std::pair{&h.hooksAt, "hooks"}, std::pair{&h.relayAt, "relay"}, std::pair{&h.otlpAt, "otlp"}}) {
        if (*at)
            v.sources << QString::fromLatin1(source);
    }
    bool claudeCounted = false, codexCounted = false;
    v.claude = view(h, h.claude, now, day, &claudeCounted);
    v.codex = view(h, h.codex, now, day, &codexCounted);
    v.counted = claudeCounted || codexCounted;
    return v;
}

std::vector<RemoteHostView> RemoteHosts::hosts() const {
    std::vector<RemoteHostView> views;
    {
        std::lock_guard guard(lock);
        const double now = clock->now();
        const Today day = today(now);
        for (const auto& host : _hosts)
            views.push_back(view(*host, now, day));
    }
    std::sort(views.begin(), views.end(), [](const auto& a, const auto& b) { return a.host < b.host; });
    return views;
}

QByteArray RemoteHosts::hostsJson() const {
    QJsonArray list;
    for (const RemoteHostView& host : hosts()) {
        list.append(QJsonObject{
            {QStringLiteral("host"), host.host},
            {QStringLiteral("local"), host.local},
            {QStringLiteral("sources"), QJsonArray::fromStringList(host.sources)},
            {QStringLiteral("last_seen"), qint64(seconds(host.lastSeen))},
            {QStringLiteral("counted"), host.counted},
            {QStringLiteral("claude"), agentJson(host.claude)},
            {QStringLiteral("codex"), agentJson(host.codex)},
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

void RemoteHosts::mergeInto(Snapshot& snapshot, double now) const {
    std::lock_guard guard(lock);
    if (_hosts.empty())
        return;
    const Today day = today(now);
    const auto merge = [](auto& target, const RemoteAgentView& v, bool counted) {
        target.status = moreUrgent(target.status, v.status);
        target.needsInput = target.needsInput || v.needsInput;
        target.lastActivityAt = std::max(target.lastActivityAt, v.lastActivityAt);
        if (!counted)
            return;
        target.tokensToday = addCounts(target.tokensToday, v.tokensToday);
        // Before the first scan the local cost is absent yet complete: nothing counted so far.
        target.costComplete = target.costComplete && v.costComplete;
        target.costToday = target.costComplete
                               ? std::optional(target.costToday.value_or(0) + v.costToday.value_or(0))
                               : std::nullopt;
    };
    for (const auto& host : _hosts) {
        bool counted = false;
        const RemoteAgentView claude = view(*host, host->claude, now, day, &counted);
        merge(snapshot.claude, claude, counted);
        const RemoteAgentView codex = view(*host, host->codex, now, day, &counted);
        merge(snapshot.codex, codex, counted);
    }
}

} // namespace glimmet

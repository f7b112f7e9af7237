#include "status/RelayReporter.h"

#include "common/Log.h"
#include "status/ClaudeScanner.h"
#include "status/CodexScanner.h"
#include "status/ModelPricing.h"

#include <QDir>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

QUrl reportUrlOf(QUrl base) {
    QString path = base.path();
    while (path.endsWith(u'/'))
        path.chop(1);
    base.setPath(path + QStringLiteral("/hosts/report"));
    return base;
}

} // namespace

RelayReporter::RelayReporter(Options options, std::shared_ptr<const Clock> clock,
                             std::shared_ptr<const ModelPricing> pricing)
    : options(std::move(options))
    , reportUrl(reportUrlOf(this->options.bridge))
    , clock(std::move(clock))
    , pricing(pricing ? std::move(pricing) : ModelPricing::shared())
    , claude(std::make_unique<ClaudeScanner>(QDir::homePath() + QStringLiteral("/.claude/projects")))
    , codex(std::make_unique<CodexScanner>(QDir::homePath() + QStringLiteral("/.codex/sessions"))) {
    scanTimer.setInterval(int(this->options.scanInterval * 1000));
    connect(&scanTimer, &QTimer::timeout, this, [this] { scanNow(); });
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, [this] { sendIfDue(); });
}

RelayReporter::~RelayReporter() = default;

void RelayReporter::start() {
    Log::line(QStringLiteral("[relay] reporting %1 to %2 when its agents change and every %3 s")
                  .arg(options.host, reportUrl.toString())
                  .arg(options.reportInterval));
    scanNow();
    scanTimer.start();
}

void RelayReporter::scanNow() {
    const double now = clock->now();
    const QTimeZone zone = clock->timeZone();
    _latest = RelaySummary::make(options.host, now, zone, claude->read(now, zone, *pricing),
                                 codex->read(now, zone, *pricing));
    sendIfDue();
}

void RelayReporter::sendIfDue() {
    const double now = clock->now();
    if (!_latest || inFlight || now < retryAt)
        return;
    if (lastSent && *lastSent == *_latest && now - lastSentAt < options.reportInterval)
        return;
    HttpRequest request;
    request.method = "POST";
    request.url = reportUrl;
    request.headers = {{"Content-Type", "application/json"}};
    if (!options.token.isEmpty())
        request.headers.append({"Authorization", "Bearer " + options.token});
    request.body = _latest->jsonData();
    request.deadline = 15;
    request.maxBodyBytes = 64 * 1024;
    inFlight = true;
    HttpClient::shared().send(std::move(request), this,
                              [this, sent = *_latest](HttpResponse response) { answered(sent, response); });
}

void RelayReporter::answered(const RelaySummary& sent, const HttpResponse& response) {
    inFlight = false;
    const double now = clock->now();
    if (response.isHttp() && response.status == 200) {
        if (failures > 0 || !lastProblem.isEmpty())
            Log::line(
                QStringLiteral("[relay] the bridge at %1 takes reports again").arg(reportUrl.toString()));
        lastSent = sent;
        lastSentAt = now;
        failures = 0;
        retryAt = 0;
        lastProblem.clear();
        ++_delivered;
        sendIfDue(); // the logs may have changed while it was on its way
        return;
    }
    if (response.status == 401)
        complain(QStringLiteral("the bridge refused the report (401): set GLIMMET_REMOTE_TOKEN to what "
                                "`glimmet-bridge --remote-token` prints on the bridge's machine"));
    else if (response.isHttp())
        complain(
            QStringLiteral("the bridge at %1 answered %2").arg(reportUrl.toString()).arg(response.status));
    else
        complain(QStringLiteral("cannot reach the bridge at %1: %2")
                     .arg(reportUrl.toString(), response.error ? response.error->description : QString()));
    const double pause = std::min(options.maxBackoff, std::pow(2.0, std::min(failures, 20)));
    ++failures;
    retryAt = now + pause;
    retryTimer.start(int(pause * 1000));
}

void RelayReporter::complain(const QString& problem) {
    if (problem == lastProblem)
        return;
    lastProblem = problem;
    Log::line(QStringLiteral("[relay] ") + problem + QStringLiteral("; trying again"));
}

} // namespace glimmet

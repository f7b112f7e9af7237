#pragma once

#include "common/Clock.h"
#include "common/HttpClient.h"
#include "status/RelaySummary.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

namespace glimmet {

class ClaudeScanner;
class CodexScanner;
class ModelPricing;

// The relay of `glimmet-bridge --relay URL`: reads this machine's agent logs with the bridge's
// own scanners (each scan reads only what was appended) and sends a summary to the bridge at
// URL (POST /hosts/report) when it changed and at least every `reportInterval`. While the bridge
// does not take it, it retries after pauses that double up to `maxBackoff`, and only the latest
// summary is kept. Lives on the thread that creates it (the main thread of the relay mode).
class RelayReporter : public QObject {
public:
    struct Options {
        QUrl bridge;                // the bridge's base URL, "http://desk:8765"
        QByteArray token;           // sent as "Authorization: Bearer TOKEN" when not empty
        QString host;               // this machine's name in the summaries
        double scanInterval = 10.0; // seconds between two reads of the logs
        double reportInterval = 30.0;
        double maxBackoff = 30.0;
    };

    // The logs are read below HOME (~/.claude/projects, ~/.codex/sessions).
    RelayReporter(Options options, std::shared_ptr<const Clock> clock,
                  std::shared_ptr<const ModelPricing> pricing = nullptr);
    ~RelayReporter() override;

    // Scans at once, then every scanInterval.
    void start();
    // One scan, then a report when one is due.
    void scanNow();

    // What the last scan found, whether a report is on its way, and how many the bridge took.
    const std::optional<RelaySummary>& latest() const { return _latest; }
    bool sending() const { return inFlight; }
    int delivered() const { return _delivered; }

private:
    void sendIfDue();
    void answered(const RelaySummary& sent, const HttpResponse& response);
    void complain(const QString& problem);

    const Options options;
    const QUrl reportUrl;
    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const ModelPricing> pricing;
    const std::unique_ptr<ClaudeScanner> claude;
    const std::unique_ptr<CodexScanner> codex;
    QTimer scanTimer;
    QTimer retryTimer;
    std::optional<RelaySummary> _latest;
    std::optional<RelaySummary> lastSent;
    double lastSentAt = 0;
    double retryAt = 0;
    int failures = 0;
    bool inFlight = false;
    int _delivered = 0;
    QString lastProblem; // logged once until it changes or reports go through again
};

} // namespace glimmet

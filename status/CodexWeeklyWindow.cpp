#include "status/CodexWeeklyWindow.h"

#include "common/Json.h"

#include <QString>

#include <vector>

namespace glimmet {

std::optional<CodexWeeklyWindow> codexWeeklyWindow(const QJsonObject& rateLimits) {
    struct Candidate {
        bool secondary;
        CodexWeeklyWindow window;
    };
    std::vector<Candidate> candidates;
    for (const char* key : {"primary", "secondary", "primary_window", "secondary_window"}) {
        const QJsonObject window = rateLimits.value(QLatin1String(key)).toObject();
        const QJsonValue used = window.value(QLatin1String("used_percent"));
        if (!used.isDouble())
            continue;
        CodexWeeklyWindow candidate;
        candidate.usedPercent = used.toDouble();
        if (const QJsonValue minutes = window.value(QLatin1String("window_minutes")); minutes.isDouble())
            candidate.windowMinutes = truncatedInteger(minutes.toDouble());
        for (const char* resetKey : {"resets_at", "reset_at"}) {
            if (const QJsonValue reset = window.value(QLatin1String(resetKey)); reset.isDouble()) {
                candidate.resetsAt = reset.toDouble();
                break;
            }
        }
        candidates.push_back({QLatin1String(key).startsWith(QLatin1String("secondary")), candidate});
    }
    for (const auto& c : candidates) {
        if (c.window.windowMinutes == 10080)
            return c.window;
    }
    for (const auto& c : candidates) {
        if (c.secondary)
            return c.window;
    }
    if (!candidates.empty() && !candidates.front().window.windowMinutes)
        return candidates.front().window;
    return std::nullopt;
}

} // namespace glimmet

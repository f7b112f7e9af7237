#pragma once

#include <QJsonObject>

#include <cstdint>
#include <optional>

namespace glimmet {

// The weekly window of a Codex rate-limit object (from a rollout log or the usage endpoint).
struct CodexWeeklyWindow {
    std::optional<double> usedPercent;
    std::optional<std::int64_t> windowMinutes;
    std::optional<double> resetsAt; // epoch seconds

    bool operator==(const CodexWeeklyWindow&) const = default;
};

// Picks the weekly window among "primary", "secondary", "primary_window" and
// "secondary_window": the first of 10080 minutes, else the first secondary one, else a
// first window that does not state its length.
std::optional<CodexWeeklyWindow> codexWeeklyWindow(const QJsonObject& rateLimits);

} // namespace glimmet

#include "status/CodexWeeklyWindow.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

TEST(CodexWeeklyWindow, WindowChoice) {
    const struct {
        const char* json;
        std::optional<CodexWeeklyWindow> expected;
    } cases[] = {
        {R"({"primary":{"used_percent":10,"window_minutes":300,"resets_at":100}})", std::nullopt},
        {R"({"primary":{"used_percent":10,"window_minutes":300},"secondary":{"used_percent":40,"window_minutes":10080,"resets_at":5000}})",
         CodexWeeklyWindow{40, 10080, 5000}},
        {R"({"primary":{"used_percent":7}})", CodexWeeklyWindow{7, std::nullopt, std::nullopt}},
        {R"({"primary":{"used_percent":1,"window_minutes":300},"secondary_window":{"used_percent":2,"window_minutes":20000,"reset_at":9}})",
         CodexWeeklyWindow{2, 20000, 9}},
        {R"({"primary_window":{"used_percent":3,"window_minutes":10080,"reset_at":8,"resets_at":7},"secondary":{"used_percent":4,"window_minutes":1}})",
         CodexWeeklyWindow{3, 10080, 7}},
        {R"({"primary":{"used_percent":"12","window_minutes":10080}})", std::nullopt},
        {R"({"primary":{"used_percent":5,"window_minutes":"10080","resets_at":"3"}})",
         CodexWeeklyWindow{5, std::nullopt, std::nullopt}},
        {R"({"primary":[],"secondary":null})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(codexWeeklyWindow(QJsonDocument::fromJson(c.json).object()), c.expected) << c.json;
}

} // namespace

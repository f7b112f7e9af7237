#include "hook/HookPayload.h"

#include <gtest/gtest.h>

#include <string>

using namespace glimmet;

namespace {

TEST(HookPayload, ReadsTheEventOfOneJsonObject) {
    const std::string deep = std::string(600, '[') + std::string(600, ']');
    const struct {
        std::string json;
        std::optional<std::string> event, message;
        bool valid = true; // a JSON object
    } cases[] = {
        {R"({"hook_event_name":"PreToolUse","tool_input":{"a":[1,-2.5e3,0.5E+2,true,false,null,{"b":"\"x\""}]}})",
         "PreToolUse"},
        {" {\"hook_event_name\" : \"Notification\" ,\r\n \"message\":\"\\u00e9 \\ud83d\\ude00 \\ud800 "
         "\\\\/\\/\\t\"}\n",
         "Notification", "\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD \\//\t"},
        {R"({"type":"agent-turn-complete","turn-id":"7","message":"not for Codex"})", "Stop"},
        {R"({"type":"other","hook_event_name":7})", std::nullopt},
        {R"({})", std::nullopt},
        {R"([{"hook_event_name":"Stop"}])", std::nullopt, std::nullopt, false},
        {R"({"hook_event_name":"Stop",})", std::nullopt, std::nullopt, false},
        {R"({"hook_event_name":"Stop"} {})", std::nullopt, std::nullopt, false},
        {"{\"hook_event_name\":\"St\x01op\"}", std::nullopt, std::nullopt, false},
        {"{\"hook_event_name\":\"St\xC0\xAFop\"}", std::nullopt, std::nullopt, false},
        {R"({"a":01,"hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"a":1.,"hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"a":"\x","hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"a":"\u12G4","hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"a":tru,"hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"a":{"b" 1},"hook_event_name":"Stop"})", std::nullopt, std::nullopt, false},
        {R"({"hook_event_name":"Stop")", std::nullopt, std::nullopt, false},
        {"{\"a\":" + deep + ",\"hook_event_name\":\"Stop\"}", std::nullopt, std::nullopt, false},
        {"", std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        const HookPayload payload = HookPayload::read(c.json);
        EXPECT_EQ(payload.error.empty(), c.valid) << c.json.substr(0, 80) << ": " << payload.error;
        EXPECT_EQ(payload.event ? std::optional(payload.event->event) : std::nullopt, c.event) << c.json;
        EXPECT_EQ(payload.event ? payload.event->message : std::nullopt, c.message) << c.json;
    }
    EXPECT_EQ(HookPayload::read("[1]").error, "not an object");
    EXPECT_EQ(HookPayload::read(R"({"a":1 "b":2})").error, "',' or '}' expected at byte 7");
}

TEST(HookPayload, WritesJsonStrings) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01\xC3\xA9\xFF"), "\"a\\\"b\\\\c\\u000a\\u0001\xC3\xA9\xEF\xBF\xBD\"");
}

} // namespace

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace glimmet {

// What one hook payload tells the bridge: the event, and a notification's text.
struct HookEvent {
    std::string event;
    std::optional<std::string> message;
};

// The JSON an agent hands its hook, read without any library beyond the standard one (the
// forwarder starts on every tool call). Claude Code names the event in "hook_event_name" (with a
// "message" on notifications); Codex's notify program reports the end of a turn as
// {"type":"agent-turn-complete", ...}; other payloads carry nothing the bridge shows.
struct HookPayload {
    std::optional<HookEvent> event;
    std::string error; // why the payload is not one JSON object; empty when it is

    static HookPayload read(std::string_view json);
};

// `text` as a JSON string, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);

} // namespace glimmet

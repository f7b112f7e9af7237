#pragma once

namespace glimmet {

// What an agent's hook runs, "glimmet-hook AGENT [PAYLOAD]" (and its alias "glimmet-bridge
// --hook AGENT [PAYLOAD]"): turns the hook's JSON (PAYLOAD, or standard input) into one event
// POSTed to the bridge at GLIMMET_BRIDGE_URL (http://127.0.0.1:8765 by default). Plain C++ and
// POSIX sockets, so that it starts in about a millisecond: it runs around every tool call.
// Whatever happens it exits 0 within 2 s, writes nothing on standard output and at most one line
// on standard error. `program` names it in that line; `args` are AGENT [PAYLOAD].
int forwardHook(const char* program, int argc, char* args[]);

} // namespace glimmet

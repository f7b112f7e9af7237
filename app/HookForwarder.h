#pragma once

namespace glimmet {

// The "--hook AGENT [PAYLOAD]" mode that an agent's hook runs: turns the hook's JSON into one
// event POSTed to the running bridge. A short process of its own, on the main thread, with no
// GUI; whatever happens it exits 0 within 2 s and writes nothing on standard output.
int runHookForwarder(int argc, char* argv[]);

} // namespace glimmet

#pragma once

namespace glimmet {

// "--relay URL": reports this machine's agents to the bridge at URL until SIGTERM or SIGINT;
// no tray and no port of its own. Exits 0 when stopped, 2 for a wrong URL.
int runRelay(int argc, char* argv[]);

// "--remote-token": prints the token other machines show the bridge (made on first use).
int printRemoteToken(int argc, char* argv[]);

} // namespace glimmet

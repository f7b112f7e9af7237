#pragma once

namespace glimmet {

// The "--install-hooks [claude|codex|all]" and "--uninstall-hooks [claude|codex|all]" modes:
// point Claude Code's hooks (~/.claude/settings.json) and Codex's notify program
// (~/.codex/config.toml) at the glimmet-hook forwarder beside this executable (at its own
// "--hook" when there is none), or take exactly that away again.
// Runs alone on the main thread; returns the exit status.
int runHookInstaller(int argc, char* argv[]);

} // namespace glimmet

#pragma once

namespace glimmet {

// The "--help" (or "-h") and "--version" modes: print to standard output and return the exit
// status. They run on the main thread before any application object exists.
int printHelp();
int printVersion();

} // namespace glimmet

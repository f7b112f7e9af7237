#pragma once

#include <QString>

namespace glimmet {

struct RemoteHostView;

// The tray menu's line for one remote host: its name, each agent's state and, while its
// figures count, the host's tokens and cost today; else how long it has been silent.
QString remoteHostLine(const RemoteHostView& host);

} // namespace glimmet

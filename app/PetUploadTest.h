#pragma once

#include <QStringList>

namespace glimmet {

// "--test-pet SLUG AGENT [HOST]": builds one pet's "running" animation from the catalogue and
// uploads it to the clock's slot AGENT, printing each step. Runs the main event loop on the
// main thread until the upload ends; returns the exit status (0 on success, 1 on failure).
int runPetUploadTest(const QStringList& args);

} // namespace glimmet

#include "common/Demand.h"

#include <cmath>

namespace glimmet {

namespace {

// A clock set backwards counts as a read just now, not as one far in the future.
bool recent(double now, double last, double linger) {
    return std::abs(now - last) <= linger;
}

} // namespace

bool Demand::read(double now) {
    lastRead.store(now);
    return !awake.exchange(true);
}

bool Demand::wanted(double now) {
    if (recent(now, lastRead.load(), linger))
        return true;
    awake.store(false);
    // A read that came meanwhile found the sampler still awake and left it to go on.
    return recent(now, lastRead.load(), linger) && !awake.exchange(true);
}

} // namespace glimmet

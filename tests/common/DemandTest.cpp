#include "common/Demand.h"

#include <gtest/gtest.h>

#include <string>

using namespace glimmet;

namespace {

// Reads ("r") and ticks ("t") at given seconds, and what each answers: a read whether it
// wakes the sampler, a tick whether the sampler goes on.
TEST(Demand, WakesOnTheFirstReadAndSleepsAfterTheLinger) {
    const struct {
        char what;
        double at;
        bool answer;
    } steps[] = {
        {'r', 100, true},  {'r', 101, false},   {'t', 105, true},
        {'t', 111, true},  {'t', 111.5, false}, // 10.5 s after the last read
        {'r', 200, true},  {'t', 190, true},    // a clock set back: the read counts as recent
        {'t', 180, false}, {'t', 400, false},   {'r', 401, true},
    };
    Demand demand(10);
    for (const auto& step : steps)
        EXPECT_EQ(step.what == 'r' ? demand.read(step.at) : demand.wanted(step.at), step.answer)
            << step.what << " at " << step.at;
}

} // namespace

#pragma once

namespace glimmet {

// One price bar of a chart.
struct MarketCandle {
    double time = 0; // epoch seconds of the start of the bar
    double low = 0;
    double high = 0;
    double open = 0;
    double close = 0;

    bool operator==(const MarketCandle&) const = default;
};

} // namespace glimmet

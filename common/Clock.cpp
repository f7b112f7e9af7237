#include "common/Clock.h"

#include <chrono>

namespace glimmet {

namespace {

class SystemClock final : public Clock {
public:
    double now() const override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
    QTimeZone timeZone() const override { return QTimeZone::systemTimeZone(); }
};

} // namespace

std::shared_ptr<const Clock> Clock::system() {
    static const auto clock = std::make_shared<const SystemClock>();
    return clock;
}

} // namespace glimmet

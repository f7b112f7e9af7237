#pragma once

#include <atomic>

namespace glimmet {

// The bridge's client of the clock's own HTTP interface. Class-level only: it has no
// instances, and its little shared state lives in class-level fields.
class DeviceClient {
public:
    DeviceClient() = delete;

    // When the clock last fetched data from the bridge (epoch seconds; 0 = never). Written
    // by the server's request hook, read by the pairing repair.
    static double devicePollAt() { return _devicePollAt.load(); }
    static void setDevicePollAt(double at) { _devicePollAt.store(at); }

private:
    static inline std::atomic<double> _devicePollAt{0};
};

} // namespace glimmet

// Where the relay's rules read the time, so that tests can move it.
#pragma once

#include <chrono>

namespace ZUQRelay {

/// Wall-clock time in seconds since 1970, with a fraction. Implementations are thread-safe.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

/// The system's real-time clock.
class SystemClock final : public Clock {
public:
    double now() const override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
};

} // namespace ZUQRelay

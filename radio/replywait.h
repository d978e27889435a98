// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>

#if defined(__unix__) || defined(__APPLE__)
#include <ctime>
struct pollfd;
#endif

namespace quillon {

using namespace std::chrono_literals;

// The fixed waits after each request.
inline constexpr std::chrono::milliseconds kProbeDelay = 100ms;
inline constexpr std::chrono::milliseconds kMainStatusDelay = 150ms;
inline constexpr std::chrono::milliseconds kSubStatusDelay = 200ms;

// A monotonic clock the waits read; tests replace it with one that only moves when told.
class MonotonicClock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~MonotonicClock() = default;
    virtual time_point now() const = 0;
    // Block the calling thread (no events run) until now() >= deadline.
    virtual void sleepUntil(time_point deadline) = 0;
#if defined(__unix__) || defined(__APPLE__)
    // Block until the descriptor has input (or has hung up) or the deadline passes; true when
    // it is ready. The owner's clock also ends it at once when the owner stops.
    virtual bool waitReadable(int fd, time_point deadline);
#endif
};

class SystemClock final : public MonotonicClock {
public:
    time_point now() const override;
    void sleepUntil(time_point deadline) override;
    static SystemClock &instance();
};

// The time mark and the fixed wait that every exchange with the radio goes through.
// A monotonic clock, so midnight or a clock change cannot stretch or cut a wait short.
class ReplyWait {
public:
    explicit ReplyWait(MonotonicClock &clock = SystemClock::instance()) : m_clock(&clock) {}

    // StartTime = now. Called right after writing a request.
    void MarkTime();
    // Returns once the clock has reached StartTime + Delay; at once if that has passed.
    // Sleeps rather than spins, and runs no event of the program.
    void DoDelay(std::chrono::nanoseconds Delay);

    MonotonicClock::time_point StartTime() const { return m_startTime; }
    MonotonicClock &clock() const { return *m_clock; }

private:
    MonotonicClock *m_clock;
    MonotonicClock::time_point m_startTime{};
};

#if defined(__unix__) || defined(__APPLE__)
// A non-negative duration as the POSIX calls take it: a timeout, or a deadline since the
// clock's epoch.
timespec toTimespec(std::chrono::nanoseconds d);
// poll() until the deadline on the given clock's time, to the microsecond where the system
// allows; a signal does not end it early. Returns poll()'s result.
int pollUntil(const MonotonicClock &clock, ::pollfd *fds, int count, MonotonicClock::time_point deadline);
#endif

} // namespace quillon

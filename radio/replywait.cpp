// SPDX-License-Identifier: GPL-3.0-or-later
#include "replywait.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#if defined(__linux__)
#include <cerrno>
#include <ctime>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <poll.h>
#endif

namespace quillon {

MonotonicClock::time_point SystemClock::now() const { return std::chrono::steady_clock::now(); }

void SystemClock::sleepUntil(time_point deadline) {
    // Sleep, never spin: the old busy-wait burned a whole core for a third of every second.
#if defined(__linux__)
    // steady_clock is CLOCK_MONOTONIC here; an absolute deadline cannot drift through
    // repeated interruptions by signals.
    const timespec ts = toTimespec(deadline.time_since_epoch());
    while (now() < deadline) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        if (rc != 0 && rc != EINTR)
            std::this_thread::sleep_until(deadline);
    }
#else
    while (now() < deadline)
        std::this_thread::sleep_until(deadline);
#endif
}

#if defined(__unix__) || defined(__APPLE__)
bool MonotonicClock::waitReadable(int fd, time_point deadline) {
    pollfd pfd{fd, POLLIN, 0};
    return pollUntil(*this, &pfd, 1, deadline) > 0;
}

int pollUntil(const MonotonicClock &clock, ::pollfd *fds, int count, MonotonicClock::time_point deadline) {
    for (;;) {
        const auto left = std::max(deadline - clock.now(), MonotonicClock::time_point::duration::zero());
#if defined(__linux__)
        // To the microsecond, as the fixed waits are kept: poll() would round to whole ms.
        const timespec ts = toTimespec(left);
        const int rc = ::ppoll(fds, nfds_t(count), &ts, nullptr);
#else
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const int rc = ::poll(fds, nfds_t(count), int(ms));
#endif
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}
#endif

SystemClock &SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

void ReplyWait::MarkTime() { m_startTime = m_clock->now(); }

void ReplyWait::DoDelay(std::chrono::nanoseconds Delay) {
    const MonotonicClock::time_point deadline = m_startTime + Delay;
    if (m_clock->now() >= deadline)
        return;
    m_clock->sleepUntil(deadline);
}

#if defined(__unix__) || defined(__APPLE__)
timespec toTimespec(std::chrono::nanoseconds d) {
    const auto ns = d.count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}
#endif

} // namespace quillon

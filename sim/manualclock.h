// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/replywait.h"

#include <atomic>

namespace quillon::sim {

// A clock that only moves when told to, or when someone sleeps on it: tests of the waits and
// of the in-process radio run instantly and give the same result every time.
// The owner's thread sleeps on it while a test reads it: its time is atomic.
class ManualClock final : public MonotonicClock {
public:
    time_point now() const override { return m_now.load(); }
    void sleepUntil(time_point deadline) override {
        ++m_sleeps;
        time_point now = m_now.load();
        while (deadline > now && !m_now.compare_exchange_weak(now, deadline)) {
        }
    }
    void advance(std::chrono::nanoseconds d) {
        time_point now = m_now.load();
        while (!m_now.compare_exchange_weak(now, now + d)) {
        }
    }
    int sleeps() const { return m_sleeps; }

private:
    std::atomic<time_point> m_now{time_point(std::chrono::hours(1))};
    std::atomic<int> m_sleeps{0};
};

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/replywait.h"

namespace quillon::sim {

// A clock that only moves when told to, or when someone sleeps on it: tests of the waits and
// of the in-process radio run instantly and give the same result every time.
class ManualClock final : public MonotonicClock {
public:
    time_point now() const override { return m_now; }
    void sleepUntil(time_point deadline) override {
        ++m_sleeps;
        if (deadline > m_now)
            m_now = deadline;
    }
    void advance(std::chrono::nanoseconds d) { m_now += d; }
    int sleeps() const { return m_sleeps; }

private:
    time_point m_now{std::chrono::hours(1)};
    int m_sleeps = 0;
};

} // namespace quillon::sim

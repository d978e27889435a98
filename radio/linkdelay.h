// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serialline.h"

#include <array>
#include <chrono>
#include <cstddef>

namespace quillon {

// Through a serial server on the network every reply comes later than over a cable, by the
// network's round trip, which nobody knows beforehand and which may change while the program
// runs. The fixed waits would end before such a reply begins, so on a network line each wait is
// the fixed one plus allowance(), and ends as soon as the whole reply is in: a fast link loses
// nothing, a slow one still has its lamps. The allowance is learned from the replies: twice the
// slowest of the last few, never under kFloor (a network's jitter) nor over kCeiling: the window
// does not react during a wait, and a radio switched off would keep it waiting that long in each
// wait (a round trip of up to about 0.7 s still works). Until a reply has been seen, and after a
// wait that got no whole reply, it grows towards kCeiling.
class LinkDelay {
public:
    static constexpr std::chrono::milliseconds kFloor{100};
    static constexpr std::chrono::milliseconds kCeiling{600};

    std::chrono::milliseconds allowance() const { return m_allowance; }
    // A whole reply was in `after` its request was sent.
    void replied(std::chrono::nanoseconds after);
    // The wait ended without a whole reply.
    void missed();

private:
    std::array<std::chrono::nanoseconds, 8> m_recent{};
    std::size_t m_count = 0;
    std::size_t m_next = 0;
    std::chrono::milliseconds m_allowance = kCeiling;
};

// What the line's link adds to every wait; nothing for a serial port.
inline std::chrono::milliseconds linkAllowance(SerialLine &line) {
    const LinkDelay *link = line.linkDelay();
    return link ? link->allowance() : std::chrono::milliseconds::zero();
}

} // namespace quillon

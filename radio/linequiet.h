// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QtGlobal>

namespace quillon {

// A little over two byte times: no reply at the radio's full pace is in flight.
inline constexpr std::chrono::milliseconds kQuietGap{5};
inline constexpr std::chrono::milliseconds kDrainLimit{60};
// Longer than any pause inside a reply: the radio's pacing (up to 12 ms is in use) plus a USB
// adapter's 16 ms tick; and long enough for the rest of a 32-byte reply at that pace.
inline constexpr std::chrono::milliseconds kPacedGap{35};
inline constexpr std::chrono::milliseconds kPacedLimit{500};

// Reads and drops input until the line has been quiet for `gap`, for at most `limit`, so that a
// reply still arriving cannot run into the next request's. Returns how many bytes were dropped.
qsizetype dropUntilQuiet(SerialLine &line, MonotonicClock &clock, std::chrono::milliseconds gap = kQuietGap,
                         std::chrono::milliseconds limit = kDrainLimit);

// Input waiting before a request belongs to an earlier exchange (a late reply, noise): drops it,
// and lets a reply still arriving finish first. Returns how many bytes were dropped.
qsizetype drainStaleInput(SerialLine &line, MonotonicClock &clock);

} // namespace quillon

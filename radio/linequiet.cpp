// SPDX-License-Identifier: GPL-3.0-or-later
#include "linequiet.h"

#include <algorithm>

namespace quillon {

namespace {

// A byte takes 2.3 ms at 4800 baud; a line quiet for a little over two byte times has no
// reply in flight. The drain never holds the window longer than kDrainLimit.
constexpr auto kQuietGap = std::chrono::milliseconds(5);
constexpr auto kDrainLimit = std::chrono::milliseconds(60);

} // namespace

qsizetype dropUntilQuiet(SerialLine &line, MonotonicClock &clock) {
    qsizetype dropped = 0;
    const auto limit = clock.now() + kDrainLimit;
    while (clock.now() < limit) {
        clock.sleepUntil(std::min(clock.now() + kQuietGap, limit));
        const std::optional<QByteArray> stale = line.ReadAll();
        if (!stale || stale->isEmpty())
            break;
        dropped += stale->size();
    }
    return dropped;
}

qsizetype drainStaleInput(SerialLine &line, MonotonicClock &clock) {
    const std::optional<QByteArray> stale = line.ReadAll();
    if (!stale || stale->isEmpty())
        return 0;
    return stale->size() + dropUntilQuiet(line, clock);
}

} // namespace quillon

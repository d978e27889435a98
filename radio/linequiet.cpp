// SPDX-License-Identifier: GPL-3.0-or-later
#include "linequiet.h"

#include <algorithm>

namespace quillon {

qsizetype dropUntilQuiet(SerialLine &line, MonotonicClock &clock, std::chrono::milliseconds gap,
                         std::chrono::milliseconds limit) {
    qsizetype dropped = 0;
    const auto end = clock.now() + limit;
    while (clock.now() < end) {
        clock.sleepUntil(std::min(clock.now() + gap, end));
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

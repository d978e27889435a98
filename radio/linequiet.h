// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QtGlobal>

namespace quillon {

// Reads and drops input until the line has been quiet for a little over two byte times, for at
// most 60 ms, so that a reply still arriving cannot run into the next request's. Returns how
// many bytes were dropped.
qsizetype dropUntilQuiet(SerialLine &line, MonotonicClock &clock);

// Input waiting before a request belongs to an earlier exchange (a late reply, noise): drops it,
// and lets a reply still arriving finish first. Returns how many bytes were dropped.
qsizetype drainStaleInput(SerialLine &line, MonotonicClock &clock);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filters/filtertable.h"

#include <QKeySequence>

namespace quillon {

// The keyboard's way to the filters. Every filter has a key that works wherever the focus is in
// the main window: a digit for the filter's width, counted from the narrowest of the radio's
// widths (1 250 Hz, 2 500 Hz, 3 2.0 kHz, 4 2.4 kHz, 5 the widest: THRU or 6.0 kHz), so the same
// digit means the same width in every group; and a modifier for the group, in the order of the
// columns on the window: Ctrl for the 8.215 MHz IF, Alt for the 455 kHz IF, Ctrl+Shift for the sub
// receiver.
QKeySequence filterKey(FilterId id);

// Where an arrow key leads from a filter button: up and down within its column, left and right to
// the neighbouring column's button nearest in height. At an edge it stays where it is.
FilterId arrowTarget(FilterId from, Qt::Key arrow);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filtertable.h"

#include "radio/commandblock.h"

#include <optional>
#include <vector>

namespace quillon {

// The passband a filter gives, in Hz; nothing for the 8.215 MHz IF's THRU, which narrows nothing.
std::optional<int> filterWidth(FilterId id);

// The passband of the filters a status record's filter byte reports in use: for the main
// receiver the narrower of its two IF filters, for the sub receiver its one filter. Nothing when
// the byte names no filter that narrows it (the lamps decode none, or only THRU).
std::optional<int> mainPassband(quint8 filterByte);
std::optional<int> subPassband(quint8 filterByte);

// The FilterSelect blocks, as the window's buttons send them, for the nearest passband not wider
// than `width` Hz (the narrowest filter when every one is wider). The main receiver gets both IF
// filters of that width (THRU with the 6.0 kHz filter for the widest), the sub receiver its one.
// Empty for a width of zero or less: that asks for no filter change.
std::vector<CommandBlock> mainFilterBlocks(long width);
std::vector<CommandBlock> subFilterBlocks(long width);

} // namespace quillon

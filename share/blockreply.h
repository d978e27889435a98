// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"

#include <optional>

namespace quillon {

// How many bytes the radio sends back for a block: 0 for the set commands, the record or flag
// lengths for the reads in use, nullopt for a block whose reply length is not known.
std::optional<int> expectedReplyLength(const CommandBlock &block);

inline constexpr quint8 kOpPacing = 0x0E;

} // namespace quillon

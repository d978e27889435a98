// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"

#include <optional>

namespace quillon {

// How many bytes the radio sends back for a block: 0 for the set commands, the record, flag or
// meter length for the reads; nullopt for a block that is none of the radio's commands.
std::optional<int> expectedReplyLength(const CommandBlock &block);

inline constexpr quint8 kOpPacing = 0x0E;

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "blockreply.h"

#include "catcommands.h"

namespace quillon {

std::optional<int> expectedReplyLength(const CommandBlock &block) { return radioReplyLength(block); }

} // namespace quillon

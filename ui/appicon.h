// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

namespace quillon {

// The globe in blue and green that both windows and the application carry.
QIcon quillonIcon();

} // namespace quillon

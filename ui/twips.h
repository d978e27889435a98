// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>

namespace quillon {

// Layouts are kept in twips as designed; 15 twips make one logical pixel.
constexpr int px(int twips) { return twips / 15; }
constexpr QRect twipRect(int left, int top, int width, int height) {
    return {px(left), px(top), px(width), px(height)};
}

} // namespace quillon

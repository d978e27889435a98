// SPDX-License-Identifier: GPL-3.0-or-later
#include "linkdelay.h"

#include <algorithm>

namespace quillon {

using namespace std::chrono;

void LinkDelay::replied(nanoseconds after) {
    m_recent[m_next] = std::max(after, nanoseconds::zero());
    m_next = (m_next + 1) % m_recent.size();
    m_count = std::min(m_count + 1, m_recent.size());
    const nanoseconds slowest =
        *std::max_element(m_recent.begin(), m_recent.begin() + std::ptrdiff_t(m_count));
    m_allowance = std::clamp(ceil<milliseconds>(2 * slowest), kFloor, kCeiling);
}

void LinkDelay::missed() {
    // The link may have become slower than anything seen: what was learned no longer holds.
    m_count = 0;
    m_next = 0;
    m_allowance = std::min(2 * m_allowance, kCeiling);
}

} // namespace quillon

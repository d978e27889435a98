// SPDX-License-Identifier: GPL-3.0-or-later
#include "filtertable.h"

namespace quillon {

namespace {

using enum FilterId;
using enum FilterGroup;

// Positions in twips; select numbers as the radio expects them (2.4K 0, 2.0K 1, 500 2,
// 250 3, 6.0K or THRU 4; sub receiver with bit 7 set). These are not the numbers the radio
// reports in its status byte.
constexpr std::array<FilterButtonInfo, kFilterCount> kButtons{{
    {Hi_250, "Hi_250_Cmd", "250", MainHi, 720, 1440, 1, 3, "Main receiver, 8.215 MHz, 250 Hz filter"},
    {Hi_500, "Hi_500_Cmd", "500", MainHi, 720, 1800, 1, 2, "Main receiver, 8.215 MHz, 500 Hz filter"},
    {Hi_2000, "Hi_2000_Cmd", "2.0K", MainHi, 720, 2160, 1, 1, "Main receiver, 8.215 MHz, 2.0 kHz filter"},
    {Hi_2400, "Hi_2400_Cmd", "2.4K", MainHi, 720, 2520, 1, 0, "Main receiver, 8.215 MHz, 2.4 kHz filter"},
    {Hi_Thru, "Hi_Thru_Cmd", "THRU", MainHi, 720, 2880, 1, 4, "Main receiver, 8.215 MHz, through, no filter"},
    {Lo_250, "Lo_250_Cmd", "250", MainLo, 1560, 1440, 2, 3, "Main receiver, 455 kHz, 250 Hz filter"},
    {Lo_500, "Lo_500_Cmd", "500", MainLo, 1560, 1800, 2, 2, "Main receiver, 455 kHz, 500 Hz filter"},
    {Lo_2000, "Lo_2000_Cmd", "2.0K", MainLo, 1560, 2160, 2, 1, "Main receiver, 455 kHz, 2.0 kHz filter"},
    {Lo_2400, "Lo_2400_Cmd", "2.4K", MainLo, 1560, 2520, 2, 0, "Main receiver, 455 kHz, 2.4 kHz filter"},
    {Lo_6000, "Lo_6000_Cmd", "6.0K", MainLo, 1560, 2880, 2, 4, "Main receiver, 455 kHz, 6.0 kHz filter"},
    {Sub500, "cmdSub500", "500", Sub, 2880, 1440, 0, 130, "Sub receiver, 500 Hz filter"},
    {Sub2400, "cmdSub2400", "2.4K", Sub, 2880, 1800, 0, 128, "Sub receiver, 2.4 kHz filter"},
    {Sub6000, "cmdSub6000", "6.0K", Sub, 2880, 2160, 0, 132, "Sub receiver, 6.0 kHz filter"},
}};

constexpr std::array<FilterId, 5> kHiOrder{Hi_Thru, Hi_2400, Hi_2000, Hi_500, Hi_250};
constexpr std::array<FilterId, 5> kLoOrder{Lo_6000, Lo_2400, Lo_2000, Lo_500, Lo_250};
constexpr std::array<FilterId, 3> kSubOrder{Sub6000, Sub2400, Sub500};

// The table is indexed by FilterId; keep the two in step.
constexpr bool tableMatchesIds() {
    for (std::size_t i = 0; i < kButtons.size(); ++i)
        if (static_cast<std::size_t>(kButtons[i].id) != i)
            return false;
    return true;
}
static_assert(tableMatchesIds());

} // namespace

const std::array<FilterButtonInfo, kFilterCount> &filterButtons() { return kButtons; }

const FilterButtonInfo &filterButton(FilterId id) { return kButtons[static_cast<std::size_t>(id)]; }

const std::array<FilterId, 5> &mainHiPaintingOrder() { return kHiOrder; }

const std::array<FilterId, 5> &mainLoPaintingOrder() { return kLoOrder; }

const std::array<FilterId, 3> &subPaintingOrder() { return kSubOrder; }

} // namespace quillon

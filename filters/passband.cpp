// SPDX-License-Identifier: GPL-3.0-or-later
#include "passband.h"

#include "lamps.h"

#include <algorithm>
#include <array>

namespace quillon {

namespace {

using enum FilterId;

struct Width {
    FilterId id;
    int hz; // 0: THRU
};
constexpr std::array<Width, kFilterCount> kWidths{{
    {Hi_250, 250},
    {Hi_500, 500},
    {Hi_2000, 2000},
    {Hi_2400, 2400},
    {Hi_Thru, 0},
    {Lo_250, 250},
    {Lo_500, 500},
    {Lo_2000, 2000},
    {Lo_2400, 2400},
    {Lo_6000, 6000},
    {Sub500, 500},
    {Sub2400, 2400},
    {Sub6000, 6000},
}};

// The filters to choose from, narrowest first: the 8.215 MHz one with its 455 kHz partner.
struct MainChoice {
    int hz;
    FilterId hi, lo;
};
constexpr std::array<MainChoice, 5> kMainChoices{{
    {250, Hi_250, Lo_250},
    {500, Hi_500, Lo_500},
    {2000, Hi_2000, Lo_2000},
    {2400, Hi_2400, Lo_2400},
    {6000, Hi_Thru, Lo_6000},
}};
constexpr std::array<FilterId, 3> kSubChoices{Sub500, Sub2400, Sub6000};

CommandBlock selectBlock(FilterId id) {
    const FilterButtonInfo &button = filterButton(id);
    return filterSelectBlock(button.FilterPath, static_cast<qint16>(button.FilterCode));
}

} // namespace

std::optional<int> filterWidth(FilterId id) {
    const int hz = kWidths[static_cast<std::size_t>(id)].hz;
    return hz > 0 ? std::optional<int>(hz) : std::nullopt;
}

std::optional<int> mainPassband(quint8 filterByte) {
    const MainLamps lamps = decodeMainFilterByte(filterByte);
    std::optional<int> narrowest;
    for (const std::optional<FilterId> &lit : {lamps.hi, lamps.lo}) {
        const std::optional<int> hz = lit ? filterWidth(*lit) : std::nullopt;
        if (hz && (!narrowest || *hz < *narrowest))
            narrowest = hz;
    }
    return narrowest;
}

std::optional<int> subPassband(quint8 filterByte) {
    const SubLamps lamps = decodeSubFilterByte(filterByte);
    return lamps.lit ? filterWidth(*lamps.lit) : std::nullopt;
}

std::vector<CommandBlock> mainFilterBlocks(long width) {
    if (width <= 0)
        return {};
    const MainChoice *pick = &kMainChoices.front();
    for (const MainChoice &choice : kMainChoices)
        if (choice.hz <= width)
            pick = &choice;
    return {selectBlock(pick->hi), selectBlock(pick->lo)};
}

std::vector<CommandBlock> subFilterBlocks(long width) {
    if (width <= 0)
        return {};
    FilterId pick = kSubChoices.front();
    for (FilterId id : kSubChoices)
        if (*filterWidth(id) <= width)
            pick = id;
    return {selectBlock(pick)};
}

} // namespace quillon

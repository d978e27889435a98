// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>

namespace quillon {

// The thirteen filter buttons, in the order they are laid out (and tab-indexed) on the window.
enum class FilterId {
    Hi_250,
    Hi_500,
    Hi_2000,
    Hi_2400,
    Hi_Thru,
    Lo_250,
    Lo_500,
    Lo_2000,
    Lo_2400,
    Lo_6000,
    Sub500,
    Sub2400,
    Sub6000,
};
inline constexpr std::size_t kFilterCount = 13;

enum class FilterGroup { MainHi, MainLo, Sub };

// Everything the program knows about one filter button: its name and caption on the window,
// where it stands (twips), and what a click sends.
struct FilterButtonInfo {
    FilterId id;
    const char *name;    // objectName, e.g. "Hi_2400_Cmd"
    const char *caption; // "2.4K"
    FilterGroup group;
    int left;                   // twips
    int top;                    // twips
    int FilterPath;             // 0 sub, 1 8.215 MHz IF, 2 455 kHz IF
    int FilterCode;             // the select number the radio expects
    const char *accessibleName; // "Main receiver, 455 kHz, 500 Hz filter"
};

const std::array<FilterButtonInfo, kFilterCount> &filterButtons();
const FilterButtonInfo &filterButton(FilterId id);

// The buttons of a group in the order a decode paints them.
const std::array<FilterId, 5> &mainHiPaintingOrder();
const std::array<FilterId, 5> &mainLoPaintingOrder();
const std::array<FilterId, 3> &subPaintingOrder();

} // namespace quillon

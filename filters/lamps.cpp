// SPDX-License-Identifier: GPL-3.0-or-later
#include "lamps.h"

#include "radio/commandblock.h"

namespace quillon {

namespace {

// The 8.215 MHz rules: two inclusive ranges each, tried in order. The last rule takes every
// value above 191, not only 192 to 196, as the radio's tables have it.
struct HiRule {
    int from1, to1, from2, to2;
    FilterId lit;
};
constexpr HiRule kHiRules[] = {
    {0, 4, 128, 132, FilterId::Hi_Thru},   {16, 20, 144, 148, FilterId::Hi_2400},
    {32, 36, 160, 164, FilterId::Hi_2000}, {48, 52, 176, 180, FilterId::Hi_500},
    {64, 68, 192, 255, FilterId::Hi_250},
};

// The 455 kHz rules: the low nibble 0..4 names the filter, but only when the 8.215 MHz number
// (bits 6-4) is a real one, 0..4; bit 7 plays no part.
constexpr FilterId kLoByNumber[] = {FilterId::Lo_6000, FilterId::Lo_2400, FilterId::Lo_2000, FilterId::Lo_500,
                                    FilterId::Lo_250};

// The sub receiver's three rules; any other value leaves its lamps alone.
struct SubRule {
    std::array<quint8, 4> values;
    int count;
    FilterId lit;
};
constexpr SubRule kSubRules[] = {
    {{0, 128, 0, 0}, 2, FilterId::Sub6000},
    {{17, 145, 34, 162}, 4, FilterId::Sub2400},
    {{51, 179, 68, 196}, 4, FilterId::Sub500},
};

} // namespace

MainLamps decodeMainFilterByte(quint8 b) {
    MainLamps lamps;
    lamps.decoded = true;
    for (const HiRule &rule : kHiRules) {
        if ((b >= rule.from1 && b <= rule.to1) || (b >= rule.from2 && b <= rule.to2)) {
            lamps.hi = rule.lit;
            break;
        }
    }
    const int lowNibble = b & 0x0F;
    const int hiNumber = (b >> 4) & 0x07;
    if (lowNibble <= 4 && hiNumber <= 4)
        lamps.lo = kLoByNumber[lowNibble];
    return lamps;
}

SubLamps decodeSubFilterByte(quint8 b) {
    SubLamps lamps;
    lamps.decoded = true;
    for (const SubRule &rule : kSubRules) {
        for (int i = 0; i < rule.count; ++i) {
            if (rule.values[i] == b) {
                lamps.lit = rule.lit;
                return lamps;
            }
        }
    }
    return lamps;
}

MainLamps decodeMainReply(const QByteArray &RxData) {
    if (RxData.size() <= kMainFilterOffset)
        return {};
    return decodeMainFilterByte(static_cast<quint8>(RxData[kMainFilterOffset]));
}

SubLamps decodeSubReply(const QByteArray &RxData) {
    if (RxData.size() <= kSubFilterOffset)
        return {};
    return decodeSubFilterByte(static_cast<quint8>(RxData[kSubFilterOffset]));
}

} // namespace quillon

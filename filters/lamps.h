// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filtertable.h"

#include <QByteArray>

#include <optional>

namespace quillon {

// Result of decoding the main receiver's status reply. When the reply is too short for the
// filter byte nothing is decoded; otherwise each IF group has the button to light, or none
// when its rules do not match (the group then keeps its colours).
struct MainLamps {
    bool decoded = false;
    std::optional<FilterId> hi; // 8.215 MHz group
    std::optional<FilterId> lo; // 455 kHz group
    bool operator==(const MainLamps &) const = default;
};

struct SubLamps {
    bool decoded = false;
    std::optional<FilterId> lit;
    bool operator==(const SubLamps &) const = default;
};

// Pure decodes of the radio's filter byte (offset 8 of the main reply, 24 of the sub reply).
MainLamps decodeMainFilterByte(quint8 b);
SubLamps decodeSubFilterByte(quint8 b);
MainLamps decodeMainReply(const QByteArray &RxData);
SubLamps decodeSubReply(const QByteArray &RxData);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "blockreply.h"

namespace quillon {

std::optional<int> expectedReplyLength(const CommandBlock &block) {
    const quint8 opcode = block[4];
    switch (opcode) {
    case kOpStatusUpdate:
        // Parameter 4 picks the records: the operating record, or VFO A's and B's.
        switch (block[3]) {
        case kStatusMain:
            return 16;
        case kStatusMainAndSub:
            return 32;
        default:
            return std::nullopt; // memory records and the like, of other lengths
        }
    case kOpReadFlags:
    case 0xF7: // read meter
        return 5;
    case 0x01: // split
    case 0x02: // recall memory
    case 0x03: // VFO to memory
    case 0x05: // VFO A/B select
    case 0x06: // memory to VFO
    case 0x09: // clarifier
    case 0x0A: // VFO A frequency
    case 0x0C: // mode
    case kOpPacing:
    case 0x0F: // PTT
    case 0x81: // tuner
    case 0x85: // VFO A to B
    case 0x8A: // VFO B frequency
    case kOpFilterSelect:
        return 0;
    default:
        return std::nullopt;
    }
}

} // namespace quillon

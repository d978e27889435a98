// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual radio's input framing: any bytes, cut into any chunks, are taken as whole
// five-byte blocks in order, and its replies keep their fixed shapes.
#include "sim/virtualradio.h"

#include <cstdlib>

using namespace quillon;
using namespace quillon::sim;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    VirtualRadio radio;
    radio.setMainFilterByte(data[0]);
    const int chunk = 1 + data[1] % 13;
    const QByteArray input(reinterpret_cast<const char *>(data + 2), static_cast<qsizetype>(size - 2));

    std::size_t replies = 0;
    for (qsizetype i = 0; i < input.size(); i += chunk) {
        for (const SimReply &r : radio.feed(input.mid(i, chunk))) {
            ++replies;
            check(r.bytes.size() == 5 || r.bytes.size() == 16 || r.bytes.size() == 32);
            check(r.delay.count() >= 0);
        }
    }
    // Whole blocks in order, the rest waiting for completion.
    check(radio.received().size() == static_cast<std::size_t>(input.size() / 5));
    check(radio.pendingBytes() == input.size() % 5);
    for (std::size_t b = 0; b < radio.received().size(); ++b)
        for (int k = 0; k < 5; ++k)
            check(radio.received()[b][static_cast<std::size_t>(k)] ==
                  static_cast<quint8>(input[static_cast<qsizetype>(b * 5 + static_cast<std::size_t>(k))]));
    check(replies <= radio.received().size());
    // Only mode blocks move the mode flags: the same blocks alone leave the same flags.
    VirtualRadio modesOnly;
    modesOnly.setMainFilterByte(data[0]);
    for (const CommandBlock &block : radio.received())
        if (block[4] == VirtualRadio::kOpMode)
            modesOnly.feed(toBytes(block));
    check((radio.mainFilterByte() & 0x80) == (modesOnly.mainFilterByte() & 0x80));
    check((radio.subFilterByte() & 0x80) == (modesOnly.subFilterByte() & 0x80));
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever comes down the line as a status reply, and however it arrives, the exchange and the
// decode never crash, never keep more than the radio's reply, and light at most one filter of
// each group, as the filter byte says.
#include "filters/filterstatus.h"
#include "filters/filtertable.h"
#include "filters/lamps.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"

#include <cstdlib>

using namespace quillon;
using namespace quillon::sim;

namespace {

// The radio answers a status request with one 16-byte record per receiver asked about.
constexpr qsizetype kMainReplyLength = 16;
constexpr qsizetype kSubReplyLength = 32;

void check(bool ok) {
    if (!ok)
        std::abort();
}

bool inGroup(FilterId id, FilterGroup group) { return filterButton(id).group == group; }

void checkDecodes(const QByteArray &RxData) {
    const MainLamps main = decodeMainReply(RxData);
    check(main.decoded == (RxData.size() > 8));
    // Only the filter byte counts: the same byte behind other bytes, with nothing after it,
    // lights the same.
    if (main.decoded)
        check(main == decodeMainReply(QByteArray(8, '\xff') + RxData.mid(8, 1)));
    check(!main.hi || inGroup(*main.hi, FilterGroup::MainHi));
    check(!main.lo || inGroup(*main.lo, FilterGroup::MainLo));
    const SubLamps sub = decodeSubReply(RxData);
    check(sub.decoded == (RxData.size() > 24));
    if (sub.decoded)
        check(sub == decodeSubReply(QByteArray(24, '\xff') + RxData.mid(24, 1)));
    check(!sub.lit || inGroup(*sub.lit, FilterGroup::Sub));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    checkDecodes(input);

    // The same bytes as line input: each chunk is a timing byte (ms from now) then up to 32 bytes.
    ManualClock clock;
    SimSerialLine line(clock);
    line.attachMute(1);
    line.Configure(1);
    line.OpenPort();
    qsizetype i = 0;
    while (i < input.size()) {
        const int at = static_cast<quint8>(input[i++]);
        const QByteArray chunk = input.mid(i, 32);
        i += chunk.size();
        line.injectInput(chunk, clock.now() + std::chrono::milliseconds(at * 3));
    }
    ReplyWait wait(clock);
    QByteArray RxData;
    for (int poll = 0; poll < 3; ++poll) {
        // A reply is used only when it is exactly the radio's record; otherwise the previous
        // one stays (a failed read) or nothing is kept.
        QByteArray before = RxData;
        exchangeMainStatus(line, wait, RxData);
        check(RxData.size() == kMainReplyLength || RxData.isEmpty() || RxData == before);
        checkDecodes(RxData);
        before = RxData;
        exchangeSubStatus(line, wait, RxData);
        check(RxData.size() == kSubReplyLength || RxData.isEmpty() || RxData == before);
        checkDecodes(RxData);
    }
    return 0;
}

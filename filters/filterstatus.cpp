#include "filterstatus.h"

#include "radio/commandblock.h"
#include "radio/logging.h"

#include <algorithm>

namespace quillon {

namespace {

// A byte takes 2.3 ms at 4800 baud; a line quiet for a little over two byte times has no
// reply in flight. The drain never holds the window longer than kDrainLimit.
constexpr auto kQuietGap = std::chrono::milliseconds(5);
constexpr auto kDrainLimit = std::chrono::milliseconds(60);
// After the wait, one byte time and a little more tells whether a reply is still arriving.
constexpr auto kTrailGap = std::chrono::milliseconds(3);

// The radio's status records are 16 bytes each; the sub request brings main and sub.
constexpr qsizetype kMainReplyLength = 16;
constexpr qsizetype kSubReplyLength = 32;

// Reads and drops input until the line has been quiet for kQuietGap, for at most kDrainLimit.
qsizetype dropUntilQuiet(SerialLine &line, MonotonicClock &clock) {
    qsizetype dropped = 0;
    const auto limit = clock.now() + kDrainLimit;
    while (clock.now() < limit) {
        clock.sleepUntil(std::min(clock.now() + kQuietGap, limit));
        const std::optional<QByteArray> stale = line.ReadAll();
        if (!stale || stale->isEmpty())
            break;
        dropped += stale->size();
    }
    return dropped;
}

// Input still waiting before a request belongs to an earlier exchange (a late reply, noise).
// Read together with the new reply it would shift every offset and light the wrong filter,
// so drop it, and let a reply that is still arriving finish before asking again.
void drainStaleInput(SerialLine &line, MonotonicClock &clock) {
    const std::optional<QByteArray> stale = line.ReadAll();
    if (!stale || stale->isEmpty())
        return;
    const qsizetype dropped = stale->size() + dropUntilQuiet(line, clock);
    qCDebug(lcFilters) << "dropped" << dropped << "stale bytes before a status request";
}

// True when bytes still come in after the wait. The rest of that late reply is let go here:
// the next request's drain looks only once, and may look between two of its bytes.
bool stillArriving(SerialLine &line, MonotonicClock &clock) {
    clock.sleepUntil(clock.now() + kTrailGap);
    const std::optional<QByteArray> more = line.ReadAll();
    if (!more || more->isEmpty())
        return false;
    const qsizetype dropped = more->size() + dropUntilQuiet(line, clock);
    qCDebug(lcFilters) << "dropped" << dropped << "bytes of a late reply";
    return true;
}

void exchange(SerialLine &line, ReplyWait &wait, QByteArray &RxData, LineError (*send)(SerialLine &),
              quint8 which, qsizetype replyLength, std::chrono::milliseconds delay, const char *what) {
    drainStaleInput(line, wait.clock());
    const LineError sent = send(line); // a failed write is skipped; the wait happens anyway
    wait.MarkTime();
    wait.DoDelay(delay);
    std::optional<QByteArray> reply = line.ReadAll();
    if (!reply) {
        qCDebug(lcFilters) << what << "status: read failed, keeping the previous reply";
    } else if (stillArriving(line, wait.clock())) {
        // A reply still coming in after the wait is late: what was read may hold the tail of
        // an earlier reply in front of this one, so its offsets cannot be trusted.
        RxData.clear();
        qCDebug(lcFilters) << what << "status: reply still arriving after the wait, not used";
    } else if (reply->size() > replyLength) {
        // More than the radio's record: something came with the reply (an echo, noise, a second
        // answer) and nothing tells where the record begins, so no offset can be trusted.
        RxData.clear();
        qCDebug(lcFilters).nospace() << what << " status: " << reply->size()
                                     << " bytes, more than a reply, not used: "
                                     << reply->toHex(' ').constData();
    } else {
        RxData = *reply;
        qCDebug(lcFilters).nospace() << what << " status: sent "
                                     << toBytes(statusBlock(which)).toHex(' ').constData() << ", got "
                                     << RxData.size() << " bytes " << RxData.toHex(' ').constData();
    }
    if (sent != LineError::None)
        qCDebug(lcFilters) << what << "status request:" << lineErrorName(sent);
}

} // namespace

void ExchangeMainStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData) {
    exchange(line, wait, RxData, SendStatusMain, kStatusMain, kMainReplyLength, kMainStatusDelay, "main");
}

void ExchangeSubStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData) {
    exchange(line, wait, RxData, SendStatusSub, kStatusMainAndSub, kSubReplyLength, kSubStatusDelay, "sub");
}

LineError SwitchFilters(SerialLine &line, int FilterPath, qint16 FilterCode) {
    const LineError result = SendFilterSelect(line, FilterPath, FilterCode);
    qCDebug(lcFilters).nospace() << "filter select: sent "
                                 << toBytes(filterSelectBlock(FilterPath, FilterCode)).toHex(' ').constData()
                                 << " (" << lineErrorName(result) << ")";
    return result;
}

} // namespace quillon

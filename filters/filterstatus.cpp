// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterstatus.h"

#include "radio/commandblock.h"
#include "radio/linequiet.h"
#include "radio/linkdelay.h"
#include "radio/logging.h"
#include "radio/replyread.h"

#include <algorithm>

namespace quillon {

namespace {

// A reply still arriving when the wait ends is slow, not lost: the radio may pace its bytes
// (up to 12 ms apart is in use) and a USB adapter hands input over every 16 ms. It is read to
// its end: until the record is complete, or nothing has come for kFinishQuiet (a paced byte
// plus one adapter tick), and never for longer than kFinishLimit.
constexpr auto kFinishQuiet = std::chrono::milliseconds(35);
constexpr auto kFinishLimit = std::chrono::milliseconds(300);
// After the wait, one byte time and a little more tells whether a reply is still arriving
// (after a slow reply: as long as its bytes may be apart, so that one more after its 16th is
// seen).
constexpr auto kTrailGap = std::chrono::milliseconds(3);

// One status request, described once: how it is sent, the receiver byte that send puts in
// the block (for the log), how long the record is and how long the radio is given to answer.
struct StatusRequest {
    LineError (*send)(SerialLine &);
    quint8 which;
    qsizetype replyLength; // the radio's status records are 16 bytes each
    std::chrono::milliseconds delay;
    const char *what;
};

constexpr StatusRequest kMainRequest{SendStatusMain, kStatusMain, 16, kMainStatusDelay, "main"};
// The sub request brings the main record and then the sub one.
constexpr StatusRequest kSubRequest{SendStatusSub, kStatusMainAndSub, 32, kSubStatusDelay, "sub"};

bool exchange(SerialLine &line, ReplyWait &wait, QByteArray &RxData, const StatusRequest &request,
              ReplyEnd end) {
    const qsizetype replyLength = request.replyLength;
    const char *what = request.what;
    // Input still waiting belongs to an earlier exchange; read with the new reply it would
    // shift every offset and light the wrong filter.
    if (const qsizetype dropped = drainStaleInput(line, wait.clock()))
        qCDebug(lcFilters) << "dropped" << dropped << "stale bytes before a status request";
    const LineError sent = request.send(line); // a failed write is skipped; the wait happens anyway
    wait.MarkTime();
    // Over a network the fixed wait would end before the reply begins; there the wait always
    // ends on the whole record, and is longer by what the link adds.
    LinkDelay *link = line.linkDelay();
    ReplyRead how;
    how.length = replyLength;
    how.wait = request.delay + linkAllowance(line);
    how.waitOut = end == ReplyEnd::AfterWait && !link;
    // The drain made the line quiet before the request, so bytes that keep coming after a
    // partial reply are the rest of it; bytes that only start after an empty wait are not
    // trusted (they may be a much later answer, or noise).
    how.quiet = kFinishQuiet;
    how.limit = kFinishLimit;
    how.look = kTrailGap;
    const ReplyResult read = readReply(line, wait, how);
    const std::optional<QByteArray> reply = read.failed ? std::nullopt : std::optional(read.bytes);
    const bool finished = read.finished;
    bool whole = false;
    if (link && reply) {
        if (reply->size() == replyLength)
            link->replied(read.doneAt - wait.StartTime());
        else if (reply->size() < replyLength)
            link->missed();
    }
    const bool stillArriving = !read.trail.isEmpty();
    if (stillArriving) {
        // The rest of that late reply is let go here: the next request's drain looks only once,
        // and may look between two of its bytes.
        const qsizetype dropped = read.trail.size() + dropUntilQuiet(line, wait.clock());
        qCDebug(lcFilters) << "dropped" << dropped << "bytes of a late reply";
    }
    if (!reply) {
        qCDebug(lcFilters) << what << "status: read failed, keeping the previous reply";
    } else if (stillArriving) {
        // Still coming in after the record's length or the wait: more than one reply, or an
        // earlier one in front of this; its offsets cannot be trusted.
        RxData.clear();
        qCDebug(lcFilters) << what << "status: reply still arriving after the wait, not used";
    } else if (reply->size() > replyLength) {
        // More than the radio's record: something came with the reply (an echo, noise, a second
        // answer) and nothing tells where the record begins, so no offset can be trusted.
        RxData.clear();
        qCDebug(lcFilters).nospace() << what << " status: " << reply->size()
                                     << " bytes, more than a reply, not used: "
                                     << reply->toHex(' ').constData();
    } else if (reply->size() != replyLength) {
        // A reply is used only whole, in time or slow: one that stopped short lost a byte on
        // the line (a framing error) or was cut off, and every offset after the gap is wrong.
        RxData.clear();
        qCDebug(lcFilters).nospace() << what << " status: " << reply->size() << " bytes"
                                     << (finished ? " (finished after the wait)" : "")
                                     << ", not a whole record, not used";
    } else {
        whole = true;
        RxData = *reply;
        qCDebug(lcFilters).nospace() << what << " status: sent "
                                     << toBytes(statusBlock(request.which)).toHex(' ').constData() << ", got "
                                     << RxData.size() << " bytes " << RxData.toHex(' ').constData()
                                     << (finished ? " (finished after the wait)" : "");
    }
    if (sent != LineError::None)
        qCDebug(lcFilters) << what << "status request:" << lineErrorName(sent);
    return whole;
}

} // namespace

bool exchangeMainStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData, ReplyEnd end) {
    return exchange(line, wait, RxData, kMainRequest, end);
}

bool exchangeSubStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData, ReplyEnd end) {
    return exchange(line, wait, RxData, kSubRequest, end);
}

LineError SwitchFilters(SerialLine &line, int FilterPath, qint16 FilterCode) {
    const LineError result = SendFilterSelect(line, FilterPath, FilterCode);
    qCDebug(lcFilters).nospace() << "filter select: sent "
                                 << toBytes(filterSelectBlock(FilterPath, FilterCode)).toHex(' ').constData()
                                 << " (" << lineErrorName(result) << ")";
    return result;
}

} // namespace quillon

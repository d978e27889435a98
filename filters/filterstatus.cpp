// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterstatus.h"

#include "radio/commandblock.h"
#include "radio/linequiet.h"
#include "radio/linkdelay.h"
#include "radio/logging.h"

#include <algorithm>

namespace quillon {

namespace {

// After the wait, one byte time and a little more tells whether a reply is still arriving.
constexpr auto kTrailGap = std::chrono::milliseconds(3);
// A reply still arriving when the wait ends is slow, not lost: the radio may pace its bytes
// (up to 12 ms apart is in use) and a USB adapter hands input over every 16 ms. It is read to
// its end: until the record is complete, or nothing has come for kFinishQuiet (a paced byte
// plus one adapter tick), and never for longer than kFinishLimit.
constexpr auto kFinishQuiet = std::chrono::milliseconds(35);
constexpr auto kFinishLimit = std::chrono::milliseconds(300);
// How often a wait that ends on the whole record looks at the line: under a byte time.
constexpr auto kPollStep = std::chrono::milliseconds(2);

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

// True when bytes still come in after the wait (after a slow reply: for as long as its bytes
// may be apart, so that one more after its 16th is seen). The rest of that late reply is let go here:
// the next request's drain looks only once, and may look between two of its bytes.
bool stillArriving(SerialLine &line, MonotonicClock &clock, std::chrono::milliseconds gap) {
    clock.sleepUntil(clock.now() + gap);
    const std::optional<QByteArray> more = line.ReadAll();
    if (!more || more->isEmpty())
        return false;
    const qsizetype dropped = more->size() + dropUntilQuiet(line, clock);
    qCDebug(lcFilters) << "dropped" << dropped << "bytes of a late reply";
    return true;
}

// Reads the rest of a reply that was still arriving when the wait ended (see kFinishQuiet).
// Returns whether any byte came after the wait.
bool finishReply(SerialLine &line, MonotonicClock &clock, QByteArray &reply, qsizetype replyLength) {
    const auto limit = clock.now() + kFinishLimit;
    auto lastByte = clock.now();
    bool grew = false;
    while (reply.size() < replyLength && clock.now() < limit && clock.now() - lastByte < kFinishQuiet) {
        clock.sleepUntil(std::min(clock.now() + kTrailGap, limit));
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more)
            break;
        if (!more->isEmpty()) {
            reply += *more;
            lastByte = clock.now();
            grew = true;
        }
    }
    return grew;
}

// Reads until the record is whole or the wait (the fixed one, and what the link adds) is over,
// whichever comes first.
std::optional<QByteArray> readUntilWhole(SerialLine &line, ReplyWait &wait, const StatusRequest &request,
                                         std::chrono::milliseconds linkAllowance) {
    MonotonicClock &clock = wait.clock();
    const auto deadline = wait.StartTime() + request.delay + linkAllowance;
    QByteArray reply;
    while (clock.now() < deadline) {
        clock.sleepUntil(std::min(clock.now() + kPollStep, deadline));
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more)
            return std::nullopt;
        reply += *more;
        if (reply.size() >= request.replyLength)
            break;
    }
    return reply;
}

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
    // ends on the whole record.
    LinkDelay *link = line.linkDelay();
    std::optional<QByteArray> reply;
    if (end == ReplyEnd::OnWholeRecord || link) {
        reply = readUntilWhole(line, wait, request, linkAllowance(line));
    } else {
        wait.DoDelay(request.delay);
        reply = line.ReadAll();
    }
    // The drain made the line quiet before the request, so bytes that keep coming after a
    // partial reply are the rest of it; bytes that only start after an empty wait are not
    // trusted (they may be a much later answer, or noise).
    bool whole = false;
    const bool finished = reply && !reply->isEmpty() && reply->size() < replyLength &&
                          finishReply(line, wait.clock(), *reply, replyLength);
    if (link && reply) {
        if (reply->size() == replyLength)
            link->replied(wait.clock().now() - wait.StartTime());
        else if (reply->size() < replyLength)
            link->missed();
    }
    if (!reply) {
        qCDebug(lcFilters) << what << "status: read failed, keeping the previous reply";
    } else if (stillArriving(line, wait.clock(), finished ? kFinishQuiet : kTrailGap)) {
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

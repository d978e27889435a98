// SPDX-License-Identifier: GPL-3.0-or-later
#include "replyread.h"

#include <algorithm>

namespace quillon {

namespace {

using namespace std::chrono_literals;

bool isWhole(const ReplyRead &how, const ReplyResult &r) {
    const qsizetype have = how.countOnly ? r.waiting.value_or(0) : r.bytes.size();
    return how.length && have >= *how.length;
}

// The pieces of an unknown length, handed on as they come, until a pause ends them.
void readUnknown(SerialLine &line, MonotonicClock &clock, MonotonicClock::time_point start,
                 const ReplyRead &how, ReplyResult &r) {
    const auto end = start + how.limit;
    auto last = start;
    bool any = false;
    while (clock.now() < end) {
        // Before the first byte the pause allowed is the wait; after it, the quiet.
        const auto pauseEnds = last + (any ? std::chrono::nanoseconds(how.quiet) : how.wait);
        line.waitForInput(clock, std::min(end, pauseEnds + kInputTick));
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more) {
            r.failed = true;
            return;
        }
        if (!more->isEmpty()) {
            any = true;
            last = clock.now();
            r.bytes += *more;
            if (how.onChunk)
                how.onChunk(*more);
        }
        if (how.giveUp && how.giveUp()) {
            r.gaveUp = true;
            return;
        }
        if (clock.now() - last > (any ? std::chrono::nanoseconds(how.quiet) : how.wait))
            return;
    }
}

// Until the reply is whole or the wait is over, whichever comes first.
void readUntilWhole(SerialLine &line, MonotonicClock &clock, MonotonicClock::time_point deadline,
                    const ReplyRead &how, ReplyResult &r) {
    while (clock.now() < deadline) {
        // The rest of a reply that began cannot come faster than the wire carries it: sleep
        // through the bytes still missing rather than wake for each one.
        const qsizetype have = how.countOnly ? r.waiting.value_or(0) : r.bytes.size();
        if (have > 0 && how.length && *how.length > have)
            clock.sleepUntil(std::min<MonotonicClock::time_point>(
                deadline,
                clock.now() + std::chrono::nanoseconds(kLineByteTime) * int(*how.length - have - 1)));
        line.waitForInput(clock, deadline);
        if (how.countOnly) {
            r.waiting = line.BytesWaiting();
            if (!r.waiting || isWhole(how, r))
                return;
            continue;
        }
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more) {
            r.failed = true;
            return;
        }
        r.bytes += *more;
        if (how.giveUp && how.giveUp()) {
            r.gaveUp = true;
            return;
        }
        if (isWhole(how, r))
            return;
    }
}

// Reads on while the bytes of a reply that began keep coming (see ReplyRead::quiet).
void finish(SerialLine &line, MonotonicClock &clock, const ReplyRead &how, ReplyResult &r) {
    const auto limit = clock.now() + how.limit;
    auto lastByte = clock.now();
    while (r.bytes.size() < *how.length && clock.now() < limit && clock.now() - lastByte < how.quiet) {
        line.waitForInput(clock, std::min(limit, lastByte + how.quiet));
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more)
            break;
        if (!more->isEmpty()) {
            r.bytes += *more;
            lastByte = clock.now();
            r.finished = true;
        }
    }
}

} // namespace

ReplyResult readReply(SerialLine &line, ReplyWait &wait, const ReplyRead &how) {
    MonotonicClock &clock = wait.clock();
    ReplyResult r;
    if (!how.length) {
        readUnknown(line, clock, wait.StartTime(), how, r);
        r.doneAt = clock.now();
        return r;
    }
    if (how.waitOut) {
        // The fixed wait as one sleep, then one read: the wire and its timing as the radio has
        // always seen them.
        wait.DoDelay(how.wait);
        if (!how.countOnly) {
            const std::optional<QByteArray> all = line.ReadAll();
            if (all)
                r.bytes = *all;
            else
                r.failed = true;
        }
    } else {
        readUntilWhole(line, clock, wait.StartTime() + how.wait, how, r);
    }
    if (!how.countOnly && !r.failed && !r.gaveUp && how.quiet.count() > 0 && !r.bytes.isEmpty() &&
        r.bytes.size() < *how.length)
        finish(line, clock, how, r);
    r.doneAt = clock.now();
    r.whole = isWhole(how, r);
    // Read, a reply longer than its length is no reply anyway; counted, more may be on the way.
    const bool lookNow = !how.lookOnlyWhenWhole || (how.countOnly ? r.whole : r.bytes.size() == *how.length);
    const auto look = r.finished ? how.quiet : how.look;
    if (!r.failed && !r.gaveUp && look.count() > 0 && lookNow) {
        clock.sleepUntil(clock.now() + look);
        // Counting, the count below sees what came; reading, it is read here.
        if (!how.countOnly) {
            if (const std::optional<QByteArray> more = line.ReadAll())
                r.trail = *more;
        }
    }
    if (how.countOnly)
        r.waiting = line.BytesWaiting();
    return r;
}

} // namespace quillon

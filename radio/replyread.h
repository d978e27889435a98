// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <optional>

namespace quillon {

// How one reply is read after its request went out and wait.MarkTime() was called. The probe,
// the window's records and the sharing clients' replies all go through readReply(); they differ
// only in these settings.
struct ReplyRead {
    // The reply's length; nullopt when it is not known (a client's block of unknown reply), and
    // then the reply ends on a pause of `quiet`, or at `limit` from the mark.
    std::optional<qsizetype> length;
    // From the mark: the whole reply by then, or for one of unknown length its first byte.
    std::chrono::nanoseconds wait{0};
    // Sleep the whole wait in one go, then read once: the exchanges on a serial port while the
    // radio is not shared. Otherwise the line is looked at every couple of milliseconds and the
    // wait ends as soon as the reply is whole.
    bool waitOut = false;
    // Count the bytes where they wait rather than read them (the probe, which reads only when
    // exactly its reply waits); the count after the wait is the result's `waiting`.
    bool countOnly = false;
    // How a reply's bytes may be apart. Unknown length: the reply ends on a pause this long, or at
    // `limit` from the mark. Known length: a reply that began but is not whole when the wait ends
    // is slow, not lost, and is read on while its bytes come at most this far apart, for at most
    // `limit` after the wait (0: not read on).
    std::chrono::milliseconds quiet{0};
    std::chrono::nanoseconds limit{0};
    // After the reply, one look this long after it for a byte more, which would mean something
    // came with it (after a reply read on, `quiet` long); 0: no look. With lookOnlyWhenWhole
    // only after a whole reply.
    std::chrono::milliseconds look{0};
    bool lookOnlyWhenWhole = false;
    // Asked after every read: true ends the read at once (a client that sent again has given up).
    std::function<bool()> giveUp;
    // Unknown length: every piece as it comes, to be handed on.
    std::function<void(const QByteArray &)> onChunk;
};

struct ReplyResult {
    QByteArray bytes;                 // the reply as read before the look
    QByteArray trail;                 // what the look found after it
    std::optional<qsizetype> waiting; // countOnly: bytes waiting at the end; nullopt when not asked or failed
    bool failed = false;              // a read failed
    bool gaveUp = false;              // giveUp() said so
    bool finished = false;            // bytes came after the wait and were read on
    bool whole = false;               // at least the reply's length was in when reading ended
    MonotonicClock::time_point doneAt{}; // when reading ended, before the look
};

ReplyResult readReply(SerialLine &line, ReplyWait &wait, const ReplyRead &how);

} // namespace quillon

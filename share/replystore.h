// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"
#include "radio/replywait.h"

#include <QByteArray>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>

namespace quillon {

// The last whole reply to each read of the radio's state, whoever asked for it (the window's own
// polls included), so that a program asking again soon is answered at once, without the wire:
// most programs of a station read the same two records over and over, several times a second.
// A stored reply is byte for byte what the radio sent, and is used only while fresh: younger
// than kMaxAge, and read after the last command that could change the radio went on the wire.
// Used from the owner's thread and the window's, hence the lock.
class ReplyStore {
public:
    // The window's own cadence: a program is never shown the radio older than the window's lamps
    // are, and the window's polls keep both records fresh by themselves, so that reading them
    // costs the other programs nothing on the wire. Hamlib's own cache keeps its readings as long.
    static constexpr std::chrono::milliseconds kMaxAge{500};

    // The reads whose replies are kept: the status records in use (main, main and sub) and the
    // flags. Not the meter: it is read for what the signal is now, and is a short exchange.
    static bool keeps(const CommandBlock &request);
    // Whether a block leaves the radio as it was (a read of some kind).
    static bool onlyReads(const CommandBlock &block);

    // A whole reply to request came in at `at`.
    void put(const CommandBlock &request, const QByteArray &reply, MonotonicClock::time_point at);
    std::optional<QByteArray> fresh(const CommandBlock &request, MonotonicClock::time_point now) const;
    // Called before a block goes on the wire: one that may change the radio (a set, by a program
    // or by the window) makes every stored reply stale.
    void sending(const CommandBlock &block);

private:
    struct Entry {
        QByteArray reply;
        MonotonicClock::time_point at;
    };
    mutable std::mutex m_mutex;
    std::map<CommandBlock, Entry> m_entries;
};

} // namespace quillon

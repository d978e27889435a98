// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"
#include "radio/replywait.h"
#include "radio/serialline.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <optional>

namespace quillon {

// One program that talks to the radio through Quillon: over TCP or the pseudo-terminal.
class ShareClient {
public:
    virtual ~ShareClient() = default;
    // Bytes the client sent since the last call.
    virtual QByteArray takeInput() = 0;
    virtual void deliver(const QByteArray &bytes) = 0;
    virtual bool isConnected() const = 0;
    virtual QString name() const = 0;
};

// Puts the clients' command blocks on the radio's one line, one exchange at a time, and hands
// each reply to the client that asked, and to nobody else. Only whole five-byte blocks go on
// the wire, so one client's junk or half a block can never shift the radio's framing for the
// others. Runs on the line owner's thread, when none of the window's own exchanges waits.
class ShareHub {
public:
    static constexpr int kMaxClients = 8;
    // Blocks a client may have waiting; a flood beyond that costs it its oldest blocks.
    static constexpr std::size_t kMaxQueued = 8;

    ShareHub(SerialLine &line, MonotonicClock &clock) : m_line(line), m_clock(clock) {}

    // False (and a log line) when kMaxClients are already there.
    bool addClient(ShareClient *client);
    // The client is forgotten and not called again; safe while a round is being served. What it
    // sent before it left still reaches the radio (a program may set the frequency and quit at
    // once), except requests whose replies nobody would read.
    void removeClient(ShareClient *client);
    int clientCount() const;

    // Takes in what every client sent, then serves one block of the next client in turn that
    // has a whole block waiting. False when none had one.
    bool serveNext();
    bool hasWaitingBlocks() const;

    // Counters, for the log and the tests.
    struct Counts {
        int forwarded = 0; // blocks put on the wire
        int delivered = 0; // replies handed over whole
        int dropped = 0;   // blocks or replies let go (superseded, incomplete, flood, pacing)
    };
    const Counts &counts() const { return m_counts; }

private:
    struct Peer {
        ShareClient *client = nullptr; // null once removed
        QString name;
        QByteArray partial; // the start of a block not yet whole
        MonotonicClock::time_point lastInput{};
        std::deque<CommandBlock> queue;
    };

    bool pull(Peer &peer);
    bool take(Peer &peer, const QByteArray &in);
    void serveBlock(Peer &peer, const CommandBlock &block);
    // Hands the reply to the client whole and in time, or drops it (length nullopt: passes it on
    // as it comes, until a pause ends it).
    void relayReply(Peer &peer, std::optional<int> length);
    void compact();

    SerialLine &m_line;
    MonotonicClock &m_clock;
    std::deque<Peer> m_peers; // a deque: a client joining mid-round moves no other
    std::size_t m_next = 0;
    bool m_serving = false;
    Counts m_counts;
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replystore.h"

#include "radio/commandblock.h"
#include "radio/replywait.h"
#include "radio/serialline.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace quillon {

enum class DoorVerdict;

// One program that talks to the radio through Quillon: over TCP or the pseudo-terminal.
class ShareClient {
public:
    virtual ~ShareClient() = default;
    // Bytes the client sent since the last call.
    virtual QByteArray takeInput() = 0;
    virtual void deliver(const QByteArray &bytes) = 0;
    virtual bool isConnected() const = 0;
    virtual QString name() const = 0;
    // The hub has served all the client sent so far: no block waits, nothing half.
    virtual void caughtUp() {}
};

// A client whose unread input stays in the system's buffer (the socket's, the terminal's, the
// port's) until it is taken, so that one sending faster than it is served is held back by the
// system pushing back on it, not by Quillon's memory growing.
class ShareSource : public ShareClient {
public:
    // At most `most` bytes of what the client sent. When that many come back more may be
    // waiting, and the client need not announce them again until the next call.
    virtual QByteArray readInput(qsizetype most) = 0;
    QByteArray takeInput() final;
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
    // The most of a client's input taken in and not yet cut into blocks: the queue's worth and
    // the start of one more block (44 bytes). More stays with the system until there is room.
    static constexpr qsizetype kMaxHeldInput = qsizetype(kMaxQueued) * 5 + 4;

    // The one rule for a client's block that asks for a reply. With more of the client's blocks
    // taken in behind it, the client has given up on it (Hamlib repeats a request after its
    // timeout) and a reply would answer the wrong request: it is superseded. Otherwise a fresh
    // reply in the store answers it (put in *reply) without the wire. The hub serves every block
    // by it, and the share answers reads as they come by it.
    enum class ReadRule { NoReply, Superseded, FromStore, NeedsRadio };
    static ReadRule ruleFor(const CommandBlock &block, bool moreBehind, const ReplyStore *store,
                            MonotonicClock::time_point now, QByteArray *reply);
    // The block at `at` in bytes (at least five bytes from there).
    static CommandBlock blockAt(QByteArrayView bytes, qsizetype at);

    // With a store, fresh replies answer the clients' reads without the wire, and every reply that
    // comes whole goes into it.
    ShareHub(SerialLine &line, MonotonicClock &clock, std::shared_ptr<ReplyStore> store = nullptr)
        : m_line(line), m_clock(clock), m_store(std::move(store)) {}

    // False (and a log line) when kMaxClients are already there.
    bool addClient(ShareClient *client);
    // The client is forgotten and not called again; safe while a round is being served. What it
    // sent before it left still reaches the radio (a program may set the frequency and quit at
    // once), except requests whose replies nobody would read.
    void removeClient(ShareClient *client);
    int clientCount() const;

    // Takes in what every client sent, then serves the waiting blocks of the clients in turn,
    // one each, until one has gone on the wire (reads answered from the store cost the wire
    // nothing, so the next client's turn follows at once). After that exchange, reads that came
    // in meanwhile and are now fresh in the store are answered too: a program asking for what
    // was on the wire gets the same reply, not a turn behind the window's next poll.
    // With Wire::No nothing goes on the wire: only what the store answers is served (after one
    // of the window's own exchanges has refreshed it). False when nothing was served.
    enum class Wire { Yes, No };
    bool serveNext(Wire wire = Wire::Yes);
    bool hasWaitingBlocks() const;

    // Called for a client refused at the door (text, or no radio command first); returns whether
    // it will be disconnected (later: the hub may be in the middle of its input). Nothing it sent
    // goes on the wire either way; one that stays starts over as a new client.
    void onRefuse(std::function<bool(ShareClient *)> refuse) { m_refuse = std::move(refuse); }

    // Counters, for the log and the tests.
    struct Counts {
        int forwarded = 0;          // blocks put on the wire
        int delivered = 0;          // replies handed over whole
        int dropped = 0;            // blocks or replies let go (superseded, incomplete, flood, pacing)
        int notCommands = 0;        // of those, blocks the door let go: none of the radio's commands
        int fromStore = 0;          // reads answered with a fresh reply from the store
        std::size_t mostQueued = 0; // the most blocks one client had waiting at once
    };
    const Counts &counts() const { return m_counts; }

private:
    struct Peer {
        ShareClient *client = nullptr; // null once removed
        QString name;
        QByteArray partial; // the start of a block not yet whole
        MonotonicClock::time_point lastInput{};
        std::deque<CommandBlock> queue;
        bool judged = false;   // a block of its has passed the door or been dropped there
        bool dropSeen = false; // one of its blocks was dropped at the door
        bool refused = false;  // sent away at the door: what it sends is ignored
    };

    bool pull(Peer &peer);
    void pullAll();
    bool take(Peer &peer, const QByteArray &in);
    enum class Served { Free, OnWire, NeedsWire };
    // NeedsWire (and nothing done) when the block would go on the wire and mayUseWire is false.
    Served serveBlock(Peer &peer, const CommandBlock &block, bool mayUseWire);
    // Hands the reply to the client whole and in time, or drops it (length nullopt: passes it on
    // as it comes, until a pause ends it).
    void relayReply(Peer &peer, const CommandBlock &block, std::optional<int> length);
    void compact();
    DoorVerdict admit(Peer &peer, QByteArrayView pending);

    SerialLine &m_line;
    MonotonicClock &m_clock;
    std::shared_ptr<ReplyStore> m_store;
    std::deque<Peer> m_peers; // a deque: a client joining mid-round moves no other
    std::size_t m_next = 0;
    bool m_serving = false;
    Counts m_counts;
    std::function<bool(ShareClient *)> m_refuse;
};

} // namespace quillon

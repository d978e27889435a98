// SPDX-License-Identifier: GPL-3.0-or-later
#include "sharehub.h"

#include "blockreply.h"
#include "catcommands.h"
#include "logging.h"

#include "radio/linequiet.h"
#include "radio/linkdelay.h"
#include "radio/replyread.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace quillon {

namespace {

using namespace std::chrono_literals;

constexpr auto kByteTime = kLineByteTime;
// A little over one byte time: what has not come by then is not part of the reply.
constexpr auto kTrailGap = 3ms;
// A reply is given its bytes' air time plus this much for the radio to start answering, and
// what a network line has learned its link adds; Hamlib's own read gives up after 400 ms.
constexpr auto kReplyMargin = 200ms;
// A block of unknown reply length: how long the line stays the client's for a first byte, how
// long a pause ends the reply, and the most it may take in all.
constexpr auto kUnknownFirstByte = 200ms;
constexpr auto kUnknownQuiet = 50ms;
constexpr auto kUnknownLimit = 1000ms;
// The start of a block that has not been completed for this long is a leftover (a client that
// gave up in the middle of a block), not the start of the next one.
constexpr auto kPartialLimit = 500ms;

QString hex(const CommandBlock &block) { return QString::fromLatin1(toBytes(block).toHex(' ')); }

} // namespace

QByteArray ShareSource::takeInput() { return readInput(ShareHub::kMaxHeldInput); }

CommandBlock ShareHub::blockAt(QByteArrayView bytes, qsizetype at) {
    CommandBlock block;
    for (int k = 0; k < 5; ++k)
        block[k] = static_cast<quint8>(bytes.at(at + k));
    return block;
}

ShareHub::ReadRule ShareHub::ruleFor(const CommandBlock &block, bool moreBehind, const ReplyStore *store,
                                     MonotonicClock::time_point now, QByteArray *reply) {
    if (expectedReplyLength(block) == 0)
        return ReadRule::NoReply;
    if (moreBehind)
        return ReadRule::Superseded;
    if (store && ReplyStore::keeps(block)) {
        if (std::optional<QByteArray> stored = store->fresh(block, now)) {
            *reply = std::move(*stored);
            return ReadRule::FromStore;
        }
    }
    return ReadRule::NeedsRadio;
}

bool ShareHub::addClient(ShareClient *client) {
    if (clientCount() >= kMaxClients) {
        qCInfo(lcShare).noquote() << "refused" << client->name() << "- already" << kMaxClients << "clients";
        return false;
    }
    Peer peer;
    peer.client = client;
    peer.name = client->name();
    m_peers.push_back(std::move(peer));
    qCInfo(lcShare).noquote() << client->name() << "connected";
    return true;
}

void ShareHub::removeClient(ShareClient *client) {
    for (Peer &peer : m_peers) {
        if (peer.client != client)
            continue;
        if (!peer.refused) // its refusal said it all
            qCInfo(lcShare).noquote() << peer.name << "disconnected";
        // Forgotten before it is asked for its last bytes: asking may report the disconnection
        // once more, and that must not land here again.
        peer.client = nullptr;
        take(peer, client->takeInput());
        peer.partial.clear();
        std::erase_if(peer.queue, [this](const CommandBlock &block) {
            const bool unread = expectedReplyLength(block) != 0;
            m_counts.dropped += unread;
            return unread;
        });
    }
    if (!m_serving)
        compact();
}

void ShareHub::compact() {
    std::erase_if(m_peers, [](const Peer &peer) { return peer.client == nullptr && peer.queue.empty(); });
    if (m_next >= m_peers.size())
        m_next = 0;
}

int ShareHub::clientCount() const {
    return static_cast<int>(std::count_if(m_peers.begin(), m_peers.end(),
                                          [](const Peer &peer) { return peer.client != nullptr; }));
}

bool ShareHub::hasWaitingBlocks() const {
    return std::any_of(m_peers.begin(), m_peers.end(), [](const Peer &peer) { return !peer.queue.empty(); });
}

bool ShareHub::pull(Peer &peer) { return peer.client && take(peer, peer.client->takeInput()); }

void ShareHub::pullAll() {
    for (Peer &peer : m_peers)
        pull(peer);
}

bool ShareHub::take(Peer &peer, const QByteArray &in) {
    if (in.isEmpty() || peer.refused)
        return false;
    const auto now = m_clock.now();
    if (!peer.partial.isEmpty() && now - peer.lastInput > kPartialLimit) {
        qCDebug(lcShare).noquote() << peer.name << "dropped" << peer.partial.size()
                                   << "bytes of a block never completed";
        peer.partial.clear();
        ++m_counts.dropped;
    }
    peer.lastInput = now;
    peer.partial += in;
    qsizetype used = 0;
    // The door: only the radio's own commands go on, and a client talking text is sent away.
    for (DoorVerdict verdict;
         (verdict = admit(peer, QByteArrayView(peer.partial).sliced(used))) != DoorVerdict::Wait; used += 5) {
        if (verdict == DoorVerdict::Refuse)
            return true;
        if (verdict != DoorVerdict::Pass)
            continue;
        // Cut as they are parsed: however much came at once, no more than the last few wait.
        peer.queue.push_back(blockAt(peer.partial, used));
        if (peer.queue.size() > kMaxQueued) {
            qCDebug(lcShare).noquote() << peer.name << "flooding: dropped" << hex(peer.queue.front());
            peer.queue.pop_front();
            ++m_counts.dropped;
        }
        m_counts.mostQueued = std::max(m_counts.mostQueued, peer.queue.size());
    }
    peer.partial.remove(0, used);
    return true;
}

bool ShareHub::serveNext(Wire wire) {
    if (m_serving)
        return false;
    m_serving = true;
    pullAll();
    bool served = false;
    bool mayUseWire = wire == Wire::Yes;
    const std::size_t n = m_peers.size();
    // Clients whose next block needs the wire when the wire is no longer theirs this turn.
    std::vector<bool> waiting(n, false);
    for (;;) {
        std::size_t k = 0;
        while (k < n && (m_peers[(m_next + k) % n].queue.empty() || waiting[(m_next + k) % n]))
            ++k;
        if (k == n)
            break;
        const std::size_t i = (m_next + k) % n;
        Peer &peer = m_peers[i];
        const CommandBlock block = peer.queue.front();
        peer.queue.pop_front();
        const Served how = serveBlock(peer, block, mayUseWire);
        if (how == Served::NeedsWire) {
            peer.queue.push_front(block);
            waiting[i] = true;
            continue;
        }
        // The next turn goes to the client after this one: one block each, in turn.
        m_next = (i + 1) % n;
        served = true;
        if (how == Served::OnWire) {
            // One block on the wire a turn. What came in during the exchange may be the same
            // read, now answered by the store.
            mayUseWire = false;
            pullAll();
        }
    }
    for (Peer &peer : m_peers)
        if (peer.client && peer.queue.empty() && peer.partial.isEmpty())
            peer.client->caughtUp();
    m_serving = false;
    compact();
    return served;
}

ShareHub::Served ShareHub::serveBlock(Peer &peer, const CommandBlock &block, bool mayUseWire) {
    const std::optional<int> length = expectedReplyLength(block);
    const QString &who = peer.name;
    // Reply pacing holds back every reply the radio gives, to everyone: the window's own status
    // records would no longer fit their waits, nor other clients' replies their timeouts.
    if (block[4] == kOpPacing && block[3] != 0) {
        qCInfo(lcShare).noquote() << who << "asked for reply pacing" << block[3] << "ms: not passed on";
        ++m_counts.dropped;
        return Served::Free;
    }
    QByteArray stored;
    switch (ruleFor(block, !peer.queue.empty(), m_store.get(), m_clock.now(), &stored)) {
    case ReadRule::Superseded:
        qCDebug(lcShare).noquote() << who << "superseded" << hex(block);
        ++m_counts.dropped;
        return Served::Free;
    case ReadRule::FromStore:
        if (peer.client && peer.client->isConnected())
            peer.client->deliver(stored);
        ++m_counts.fromStore;
        return Served::Free;
    case ReadRule::NoReply:
    case ReadRule::NeedsRadio:
        break;
    }
    if (!mayUseWire)
        return Served::NeedsWire;
    if (!m_line.IsOpen())
        return Served::Free;
    if (const qsizetype stale = drainStaleInput(m_line, m_clock))
        qCDebug(lcShare) << "dropped" << stale << "stale bytes before a client's block";
    // Stale from the moment a set may reach the radio, whether or not it arrives whole.
    if (m_store)
        m_store->sending(block);
    if (const LineError error = m_line.WriteBytes(toBytes(block)); error != LineError::None) {
        qCDebug(lcShare).noquote() << who << hex(block) << "not sent:" << lineErrorName(error);
        return Served::OnWire;
    }
    const auto written = m_clock.now();
    ++m_counts.forwarded;
    qCDebug(lcShare).noquote() << who << "sent" << hex(block);
    if (length != 0) {
        relayReply(peer, block, length);
        return Served::OnWire;
    }
    // A set has no reply to wait for, but its bytes take their time on the wire: a program
    // sending sets back to back would otherwise fill the port's output queue, and every other
    // program's read would wait behind seconds of them.
    m_clock.sleepUntil(written + kByteTime * int(std::tuple_size_v<CommandBlock>));
    return Served::OnWire;
}

void ShareHub::relayReply(Peer &peer, const CommandBlock &block, std::optional<int> length) {
    ReplyWait wait(m_clock);
    wait.MarkTime();
    // Over a network line every reply comes later by what the link adds.
    const auto allowance = linkAllowance(m_line);
    bool sentAgain = false;
    ReplyRead how;
    how.giveUp = [&] {
        sentAgain = pull(peer);
        return sentAgain;
    };
    if (length) {
        how.length = *length;
        how.wait = kByteTime * *length + kReplyMargin + allowance;
        // A byte right after the record means an echo or noise came with it, and then nothing
        // tells where the record begins.
        how.look = kTrailGap;
        how.lookOnlyWhenWhole = true;
    } else {
        how.wait = kUnknownFirstByte + allowance;
        how.quiet = kUnknownQuiet;
        how.limit = kUnknownLimit + allowance;
        how.giveUp = [&] { return pull(peer) || !peer.client; };
        how.onChunk = [&](const QByteArray &bytes) {
            if (peer.client && peer.client->isConnected())
                peer.client->deliver(bytes);
        };
    }
    const ReplyResult read = readReply(m_line, wait, how);
    if (!length) {
        // Nobody reads the rest any more; it must not reach the next exchange either.
        if (read.gaveUp)
            dropUntilQuiet(m_line, m_clock, kPacedGap, kPacedLimit);
        return;
    }
    const QByteArray reply = read.bytes + read.trail;
    // Whole and alone: the radio's answer, for whoever asks next, also when its asker has gone
    // meanwhile.
    if (m_store && reply.size() == *length && !sentAgain)
        m_store->put(block, reply, m_clock.now());
    if (reply.size() == *length && !sentAgain && peer.client && peer.client->isConnected()) {
        peer.client->deliver(reply);
        ++m_counts.delivered;
        return;
    }
    // Late, short, mixed with something else, or no longer wanted: a reply delivered now would
    // shift every later answer the client reads. Let the rest of it go by before the next
    // exchange, at whatever pace it comes: its tail and the start of the next reply would
    // otherwise make one record's worth of bytes.
    ++m_counts.dropped;
    const qsizetype rest = dropUntilQuiet(m_line, m_clock, kPacedGap, kPacedLimit);
    qCDebug(lcShare).noquote() << peer.name << "reply of" << reply.size() + rest << "bytes, wanted" << *length
                               << (sentAgain ? "(the client sent again)" : "") << "- dropped";
}

// The door, between what a client sends and the queue: judgeClientBytes decides, this logs and
// sends a refused client away.
DoorVerdict ShareHub::admit(Peer &peer, QByteArrayView pending) {
    QString why;
    const DoorVerdict verdict = judgeClientBytes(pending, !peer.judged, &why);
    if (verdict == DoorVerdict::Wait)
        return verdict;
    peer.judged = true;
    if (verdict == DoorVerdict::Drop) {
        ++m_counts.dropped;
        ++m_counts.notCommands;
        // The first says what the program asks for; a flood of them is for the debug log.
        const QString block = QString::fromLatin1(pending.first(5).toByteArray().toHex(' '));
        if (!std::exchange(peer.dropSeen, true))
            qCInfo(lcShare).noquote() << peer.name << "sent" << block << "- not passed on:" << why;
        else
            qCDebug(lcShare).noquote() << peer.name << "sent" << block << "- not passed on:" << why;
    } else if (verdict == DoorVerdict::Refuse) {
        qCInfo(lcShare).noquote() << "refused" << peer.name << "-" << why;
        m_counts.dropped += static_cast<int>(peer.queue.size());
        peer.queue.clear();
        peer.partial.clear();
        // A client that cannot be disconnected (the pseudo-terminal) starts over as a new one.
        peer.refused = peer.client && m_refuse && m_refuse(peer.client);
        peer.judged = peer.refused;
    }
    return verdict;
}

} // namespace quillon

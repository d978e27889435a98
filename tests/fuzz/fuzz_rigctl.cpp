// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever a program sends to the rigctld port, in whatever pieces, and whatever the hub makes
// of the blocks (a reply of any bytes and length, silence, a set on the wire or let go, a command
// given up): the session never crashes or spins, every block it hands on is a whole command the
// door passes, none comes once the text is refused or the program has quit, and a command's
// blocks go out only when every earlier block has been answered or settled.
#include "radio/commandblock.h"
#include "share/blockreply.h"
#include "share/catcommands.h"
#include "share/rigctlsession.h"

#include <cstdlib>
#include <deque>

using namespace quillon;
using namespace quillon::rigctlproto;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

// The blocks handed on and not yet answered or settled, as the rigctld client keeps them.
struct Hub {
    Session &session;
    std::deque<CommandBlock> flight;
    bool closed = false;

    void take() {
        const QByteArray blocks = session.takeBlocks();
        check(blocks.size() % 5 == 0);
        if (blocks.isEmpty())
            return;
        // One command at a time: nothing earlier is still out.
        check(flight.empty());
        check(!closed);
        for (qsizetype at = 0; at < blocks.size(); at += 5) {
            CommandBlock block;
            for (int k = 0; k < 5; ++k)
                block[k] = static_cast<quint8>(blocks[at + k]);
            check(whyNotRadioCommand(block).isEmpty());
            check(judgeClientBytes(QByteArrayView(blocks).sliced(at, 5), true) == DoorVerdict::Pass);
            flight.push_back(block);
        }
        // A read is the last of them, and the session says which it waits for.
        for (std::size_t i = 0; i + 1 < flight.size(); ++i)
            check(expectedReplyLength(flight[i]) == 0);
        const std::optional<Session::Read> read = session.waitingRead();
        check(!read || (read->block == flight.back() && expectedReplyLength(read->block) == read->length));
    }
    void after() {
        take();
        // Text the session refused, or a quit: nothing more goes out, whatever comes.
        if (session.refusal() != Parser::Refusal::None || session.quit())
            closed = true;
        check(session.takeText().size() < 1 << 20);
    }
};

} // namespace

// Input: a control byte, then what it uses. Control c: c & 3 == 0 feeds the next (c >> 2) bytes
// as the program's text; 1 settles the oldest block with fate (c >> 2) & 3 or, for a read,
// answers it with the next (c >> 2) bytes (or, with c >> 2 == 63, a reply of the right length
// from the bytes that follow); 2 gives the command up as the client's timeout does; 3 a silence.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    RigState state;
    Session session(state);
    Hub hub{session, {}, false};
    qsizetype i = 0;
    while (i < input.size()) {
        const quint8 c = static_cast<quint8>(input[i++]);
        const int n = c >> 2;
        switch (c & 3) {
        case 0:
            session.feed(QByteArrayView(input).sliced(i, std::min<qsizetype>(n, input.size() - i)));
            i += n;
            break;
        case 1: {
            if (hub.flight.empty())
                break;
            const CommandBlock block = hub.flight.front();
            hub.flight.pop_front();
            if (const std::optional<int> length = expectedReplyLength(block); length != 0) {
                const qsizetype want = n == 63 ? length.value_or(0) : n;
                session.reply(input.mid(i, want));
                i += want;
            } else {
                static constexpr int kResults[] = {kOk, kIo, kRejected, kOk};
                session.settled(kResults[n & 3]);
            }
            break;
        }
        case 2:
            if (session.busy()) {
                session.giveUp();
                check(!session.busy());
                hub.flight.clear();
                hub.after();
                session.resume();
            }
            break;
        case 3:
            if (!hub.flight.empty() && expectedReplyLength(hub.flight.front()) != 0) {
                hub.flight.pop_front();
                session.reply(std::nullopt);
            }
            break;
        }
        hub.after();
    }
    return 0;
}

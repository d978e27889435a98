// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "rigctlprotocol.h"

#include "radio/commandblock.h"

#include <QByteArray>

#include <functional>
#include <optional>

namespace quillon::rigctlproto {

// What rigctld keeps of the radio between commands and connections, as Hamlib's FT-1000MP
// driver does: the VFO it was told to use (the radio is never switched: the driver only
// remembers it) and the PTT last set (the driver has no way to read it).
struct RigState {
    enum class Vfo { A, B, C, Mem };
    Vfo vfo = Vfo::A;
    int ptt = 0;
};

// One client's conversation, on the FT-1000MP as Hamlib's driver (model 1004) sees it: each
// command becomes the CAT blocks that driver sends, and the radio's replies become rigctld's
// answers. The mode's passband is the filters' in use, not the driver's fixed width. No sockets
// and no line here: the blocks go out and the replies come back through whoever holds this.
class Session {
public:
    explicit Session(RigState &state) : m_state(state) {}

    // Takes the client's bytes, and works through its commands as far as it can.
    void feed(QByteArrayView bytes);
    // The radio's reply to the read in waitingRead(); or, with nullopt, none (a timeout, or the
    // result given).
    void reply(std::optional<QByteArray> bytes, int failure = -5);
    // One of the command's blocks without a reply is done with: on the radio (kOk) or not (the
    // result for it). A set is answered only once all of its blocks are.
    void settled(int result);
    // Answers the command in hand as a timeout, whatever of it is still under way, and waits
    // for resume() before the next one.
    void giveUp();
    void resume() { run(); }

    // Blocks for the radio, in order; a read, when there is one, is the last of them.
    QByteArray takeBlocks() { return std::exchange(m_blocks, {}); }
    // Answers for the client.
    QByteArray takeText() { return std::exchange(m_text, {}); }
    // The read whose reply is awaited, and how long its reply is.
    struct Read {
        CommandBlock block;
        int length;
    };
    std::optional<Read> waitingRead() const;
    // A command is under way: its blocks are out and not all settled or answered.
    bool busy() const { return m_current.has_value(); }
    // How many commands have been begun: each gets a wait of its own.
    quint64 begun() const { return m_begun; }
    bool quit() const { return m_quit; }
    Parser::Refusal refusal() const { return m_parser.refusal(); }

    // What a command comes to: blocks to send, then a read (whose reply gives the outcome), or
    // the values and result right away.
    struct Outcome {
        QList<CommandBlock> sends;
        std::optional<Read> read;
        std::function<Outcome(const QByteArray &)> then;
        QList<Value> values;
        int result = 0;
    };

private:
    void run();
    void start(const Command &command, Outcome outcome);
    void finishIfDone();
    Outcome execute(const Command &command);

    RigState &m_state;
    Parser m_parser;
    ReplyForm m_form;
    std::optional<Command> m_current; // the command waiting for the radio
    Outcome m_pending;
    quint64 m_begun = 0;
    int m_unsettled = 0; // blocks of the command in hand not yet settled
    int m_setResult = 0; // the first failure among them
    QByteArray m_blocks;
    QByteArray m_text;
    bool m_quit = false;
};

// Hamlib's own result codes, as rigctld writes them after RPRT.
inline constexpr int kOk = 0;
inline constexpr int kInvalid = -1;        // RIG_EINVAL
inline constexpr int kNotImplemented = -4; // RIG_ENIMPL
inline constexpr int kTimeout = -5;        // RIG_ETIMEOUT
inline constexpr int kIo = -6;             // RIG_EIO
inline constexpr int kRejected = -9;       // RIG_ERJCTED
inline constexpr int kNotAvailable = -11;  // RIG_ENAVAIL

// The answer to rigctld's \dump_state, as rigctld -m 1004 gives it (rigctl -m 2 opens with it).
QByteArray dumpState();

} // namespace quillon::rigctlproto

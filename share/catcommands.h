// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace quillon {

// The FT-1000MP / Mark V's own CAT commands, with the parameter values the radio takes. Only
// these reach the radio from a sharing client: an opcode or a value outside them may do anything
// from nothing to keying the transmitter or writing over a memory, and a text client's bytes
// form such blocks by chance.

// True when the block is one of the radio's commands with parameters it takes.
bool isRadioCommand(const CommandBlock &block);
// Why the block is not passed on ("unknown opcode 0x2f", "mode 0x0d is none of the radio's");
// empty for a radio command.
QString whyNotRadioCommand(const CommandBlock &block);
// The command's name in the radio's own terms ("VFO-A frequency"), or empty for an unknown opcode.
QString radioCommandName(quint8 opcode);
// How many bytes the radio answers a radio command with (0: none); nullopt for anything else.
std::optional<int> radioReplyLength(const CommandBlock &block);

// Bytes shaped like text rather than command blocks: an HTTP request line, a rigctld command,
// printable ASCII followed by CR or LF. No run of radio commands looks like this: each opcode, and
// each byte in front of a 0x0A or 0x0D inside one, is a control byte or above 0x7E.
bool looksLikeText(QByteArrayView firstBytes);

// What the door does with the next block of a sharing client.
enum class DoorVerdict {
    Pass,   // a radio command: it goes on the wire
    Drop,   // not one: it is let go, the client stays
    Refuse, // text, or a first block that is no radio command: the client is disconnected
    Wait,   // less than a block has come, and nothing in it settles the matter yet
};

// The verdict on the block at the start of `pending` (what the client sent that has not been
// judged yet, from a block boundary on; it may be shorter than a block). `first`: none of the
// client's blocks has been judged before. `why`, when given, says why a block is not passed on.
DoorVerdict judgeClientBytes(QByteArrayView pending, bool first, QString *why = nullptr);

} // namespace quillon

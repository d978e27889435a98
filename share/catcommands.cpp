// SPDX-License-Identifier: GPL-3.0-or-later
#include "catcommands.h"

#include "blockreply.h"

#include <algorithm>
#include <array>

namespace quillon {

namespace {

// A memory channel as the commands number them: 1 to 99, P1 to P9, QMB 1 to 5.
constexpr quint8 kLastChannel = 0x71;
// The radio tunes 100 kHz to 30 MHz; the frequency commands count in 10 Hz steps.
constexpr quint32 kLowestTens = 10'000;
constexpr quint32 kHighestTens = 3'000'000;

bool isBcd(quint8 b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; }
bool zeros(const CommandBlock &b, std::initializer_list<int> at) {
    return std::all_of(at.begin(), at.end(), [&](int i) { return b[static_cast<size_t>(i)] == 0; });
}
bool onlyP4(const CommandBlock &b, quint8 highest) { return zeros(b, {0, 1, 2}) && b[3] <= highest; }

QString hexByte(quint8 b) { return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0')); }

// Each check returns why the parameters are not ones the radio takes, or nothing.
using Check = QString (*)(const CommandBlock &);

QString noParameters(const CommandBlock &b) {
    return zeros(b, {0, 1, 2, 3}) ? QString() : QStringLiteral("it takes no parameters");
}
QString offOrOn(const CommandBlock &b) {
    return onlyP4(b, 1) ? QString() : QStringLiteral("it takes 0 or 1 in the fourth byte only");
}
QString channel(const CommandBlock &b) {
    return zeros(b, {0, 1, 2}) && b[3] >= 1 && b[3] <= kLastChannel
               ? QString()
               : QStringLiteral("channel %1 is none of the radio's").arg(hexByte(b[3]));
}
QString lock(const CommandBlock &b) {
    return onlyP4(b, 3) ? QString() : QStringLiteral("it takes 0 to 3 in the fourth byte only");
}
QString step(const CommandBlock &b) {
    // Third byte: 100 kHz or 1 MHz; fourth: VFO-A or VFO-B.
    return zeros(b, {0, 1}) && b[2] <= 1 && b[3] <= 1
               ? QString()
               : QStringLiteral("it takes 0 or 1 in the last two bytes");
}
QString clarifier(const CommandBlock &b) {
    // The offset in BCD (10 Hz steps, then kHz up to 9), its sign, then what to do.
    const std::array<quint8, 5> actions{0x00, 0x01, 0x80, 0x81, 0xFF};
    const bool ok = isBcd(b[0]) && b[1] <= 0x09 && (b[2] == 0x00 || b[2] == 0xFF) &&
                    std::find(actions.begin(), actions.end(), b[3]) != actions.end();
    return ok ? QString() : QStringLiteral("offset or action out of range");
}
QString frequency(const CommandBlock &b) {
    quint32 tens = 0;
    for (int i = 3; i >= 0; --i) {
        const quint8 d = b[static_cast<size_t>(i)];
        if (!isBcd(d))
            return QStringLiteral("the frequency is not in BCD");
        tens = tens * 100 + (d >> 4) * 10 + (d & 0x0F);
    }
    if (tens < kLowestTens || tens > kHighestTens)
        return QStringLiteral("%1 Hz is outside 100 kHz to 30 MHz").arg(qulonglong(tens) * 10);
    return {};
}
QString mode(const CommandBlock &b) {
    // LSB to packet (FM), on VFO-A, or with bit 7 on VFO-B.
    return zeros(b, {0, 1, 2}) && (b[3] & 0x7F) <= 0x0B
               ? QString()
               : QStringLiteral("mode %1 is none of the radio's").arg(hexByte(b[3]));
}
QString pacing(const CommandBlock &b) {
    return zeros(b, {0, 1, 2}) ? QString() : QStringLiteral("it takes the pause in the fourth byte only");
}
QString statusUpdate(const CommandBlock &b) {
    if (b[3] == 0)
        return QStringLiteral("the whole memory (1863 bytes) would hold the line for over 4 s");
    if (!zeros(b, {1, 2}) || b[3] > 4)
        return QStringLiteral("record %1 is none of the radio's").arg(hexByte(b[3]));
    // Only the memory record reads a channel from the first byte.
    if (b[3] == 4 ? b[0] > kLastChannel : b[0] != 0)
        return QStringLiteral("channel %1 is none of the radio's").arg(hexByte(b[0]));
    return {};
}
QString bandwidth(const CommandBlock &b) {
    // Which IF (both, 8.215 MHz, 455 kHz), then the filter, with bit 7 for the sub receiver.
    return b[0] <= 2 && zeros(b, {1, 2}) && (b[3] & 0x7F) <= 4
               ? QString()
               : QStringLiteral("filter %1 %2 is none of the radio's").arg(hexByte(b[0]), hexByte(b[3]));
}
QString meter(const CommandBlock &b) {
    // The meter in the first byte, the rest empty or repeating it (both forms are in use).
    return zeros(b, {1, 2, 3}) || (b[1] == b[0] && b[2] == b[0] && b[3] == b[0])
               ? QString()
               : QStringLiteral("the meter is given in the first byte, or in all four");
}
QString never(const CommandBlock &) {
    return QStringLiteral("it writes over a stored memory, and no station program sends it");
}

struct RadioCommand {
    quint8 opcode;
    const char *name;
    Check check;
    int replyLength; // -1: the status update's, by record
};

// From the radio's command chart; a reply length the chart does not give is the one the radio
// sends in answer (the status records, the flags, the meter).
constexpr std::array<RadioCommand, 21> kCommands{{
    {0x01, "split", offOrOn, 0},
    {0x02, "recall memory", channel, 0},
    {0x03, "VFO to memory", never, 0},
    {0x04, "lock", lock, 0},
    {0x05, "VFO-A/B", offOrOn, 0},
    {0x06, "memory to VFO", channel, 0},
    {0x07, "up", step, 0},
    {0x08, "down", step, 0},
    {0x09, "clarifier", clarifier, 0},
    {0x0A, "VFO-A frequency", frequency, 0},
    {0x0C, "mode", mode, 0},
    {kOpPacing, "reply pacing", pacing, 0},
    {0x0F, "PTT", offOrOn, 0},
    {kOpStatusUpdate, "status update", statusUpdate, -1},
    {0x81, "tuner", offOrOn, 0},
    {0x82, "tuner start", noParameters, 0},
    {0x85, "VFO-A to VFO-B", noParameters, 0},
    {0x8A, "VFO-B frequency", frequency, 0},
    {kOpFilterSelect, "bandwidth", bandwidth, 0},
    {0xF7, "read meter", meter, 5},
    // The six-byte form of the flags is asked for with parameters the radio's chart does not
    // give; the five-byte one, which ends with the radio's identity, is the one in use.
    {kOpReadFlags, "read flags", noParameters, 5},
}};

const RadioCommand *find(quint8 opcode) {
    const auto it = std::find_if(kCommands.begin(), kCommands.end(),
                                 [&](const RadioCommand &c) { return c.opcode == opcode; });
    return it == kCommands.end() ? nullptr : &*it;
}

bool isPrintable(char c) { return c >= 0x20 && c <= 0x7E; }

} // namespace

QString whyNotRadioCommand(const CommandBlock &block) {
    const RadioCommand *command = find(block[4]);
    if (!command)
        return QStringLiteral("unknown opcode %1").arg(hexByte(block[4]));
    const QString why = command->check(block);
    return why.isEmpty() ? why : QStringLiteral("%1: %2").arg(QLatin1String(command->name), why);
}

bool isRadioCommand(const CommandBlock &block) { return whyNotRadioCommand(block).isEmpty(); }

QString radioCommandName(quint8 opcode) {
    const RadioCommand *command = find(opcode);
    return command ? QLatin1String(command->name) : QString();
}

std::optional<int> radioReplyLength(const CommandBlock &block) {
    if (!isRadioCommand(block))
        return std::nullopt;
    const RadioCommand *command = find(block[4]);
    if (command->replyLength >= 0)
        return command->replyLength;
    // Status update: the memory channel number, the operating record, both VFOs, a memory.
    constexpr std::array<int, 5> kRecordLength{0, 1, 16, 32, 16};
    return kRecordLength[block[3]];
}

bool looksLikeText(QByteArrayView firstBytes) {
    // An HTTP request line starts with its method (a browser's page can send one to any
    // loopback port).
    static const char *const kMethods[] = {"GET ",     "POST ",  "PUT ",   "HEAD ",    "DELETE ",
                                           "OPTIONS ", "PATCH ", "TRACE ", "CONNECT ", "PRI "};
    for (const char *method : kMethods)
        if (firstBytes.startsWith(QByteArrayView(method)))
            return true;
    // A line: a printable byte, then CR or LF (rigctld's protocol, a terminal, a scanner).
    for (qsizetype i = 1; i < firstBytes.size(); ++i)
        if ((firstBytes[i] == '\n' || firstBytes[i] == '\r') && isPrintable(firstBytes[i - 1]))
            return true;
    return false;
}

DoorVerdict judgeClientBytes(QByteArrayView pending, bool first, QString *why) {
    auto say = [&](const QString &text) {
        if (why)
            *why = text;
    };
    // The block and the byte after it: a line may end right after the block.
    if (looksLikeText(pending.first(std::min<qsizetype>(pending.size(), 6)))) {
        say(QStringLiteral("it sent text, not radio commands"));
        return DoorVerdict::Refuse;
    }
    if (pending.size() < 5)
        return DoorVerdict::Wait;
    CommandBlock block;
    std::copy_n(pending.begin(), 5, block.begin());
    const QString reason = whyNotRadioCommand(block);
    if (reason.isEmpty())
        return DoorVerdict::Pass;
    if (first) {
        say(QStringLiteral("its first bytes are no radio command (%1)").arg(reason));
        return DoorVerdict::Refuse;
    }
    // Only the next byte tells whether this ends a line of text.
    if (pending.size() == 5 && isPrintable(pending[4]))
        return DoorVerdict::Wait;
    say(reason);
    return DoorVerdict::Drop;
}

} // namespace quillon

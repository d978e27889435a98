// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/commandblock.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace quillon::sim {

// Misbehaviours the virtual radio can be told to show.
enum class RadioFault {
    None,
    Silent,     // answers nothing
    WrongId,    // probe answered with ID 03 94
    ShortReply, // every reply cut to setShortReplyLength() bytes
    Garbage,    // every reply replaced by random bytes of random length
    LateReply,  // replies leave only after setLateDelay()
    Unplugged,  // takes nothing in, answers nothing (front ends also drop the line)
    LongReply,  // every reply padded with extra bytes before and/or after it
    Repeated,   // every reply sent twice, back to back
};

// One reply: the bytes, how long after the request's last byte the first of them leaves, and
// the pause the radio makes between two of its bytes (its CAT pacing setting).
struct SimReply {
    QByteArray bytes;
    std::chrono::microseconds delay{0};
    std::chrono::microseconds pacing{0};

    // When byte i (0-based) is complete on the wire, counted from the moment the reply starts.
    std::chrono::microseconds byteDone(qsizetype i) const;
    std::chrono::microseconds duration() const {
        return bytes.isEmpty() ? std::chrono::microseconds(0) : byteDone(bytes.size() - 1);
    }
};

// When input leaves a USB serial adapter's buffer: at the next tick of its latency timer
// (16 ms by default), all that came since the last tick at once. A period of zero passes each
// byte on as it arrives.
std::chrono::steady_clock::time_point deliveredAt(std::chrono::steady_clock::time_point arrived,
                                                  std::chrono::microseconds chunkPeriod);

// A reply byte and when the program can first read it.
struct WireByte {
    std::chrono::steady_clock::time_point at;
    char byte;
};

// The radio's transmitter and the adapter behind it: replies leave one after another, never
// overlapping, each after its delay and at its pacing, and reach the program as deliveredAt()
// hands them over. The in-process line and the pseudo-terminal server both schedule through
// it, so a test sees the same timing on either.
class ReplyTransmitter {
public:
    void setChunkPeriod(std::chrono::microseconds period) { m_chunkPeriod = period; }
    // The line was (re)opened: nothing is in flight.
    void reset(std::chrono::steady_clock::time_point now) { m_free = now; }
    // The bytes of replies to a request whose last byte arrived at `now`, in time order.
    std::vector<WireByte> schedule(const std::vector<SimReply> &replies,
                                   std::chrono::steady_clock::time_point now);

private:
    std::chrono::steady_clock::time_point m_free{}; // when the transmitter is next idle
    std::chrono::microseconds m_chunkPeriod{0};
};

// The program's side of the cable: what it writes leaves its UART back to back at the line's
// pace, and the radio takes in a byte only once its stop bits are through. Bytes written to a
// pseudo-terminal arrive there at once; this holds them back as the wire would.
class RequestWire {
public:
    // The line was (re)opened: nothing is on its way.
    void reset(std::chrono::steady_clock::time_point now);
    // Bytes the program wrote at `at`.
    void write(QByteArrayView bytes, std::chrono::steady_clock::time_point at);
    // When the next byte is complete at the radio; nothing if none is on its way.
    std::optional<std::chrono::steady_clock::time_point> nextArrival() const;
    // The bytes complete at the radio by `now`, taken off the wire, each with when it was in.
    std::vector<WireByte> takeArrived(std::chrono::steady_clock::time_point now);
    bool empty() const { return m_bytes.empty(); }

private:
    std::deque<WireByte> m_bytes;                   // in arrival order
    std::chrono::steady_clock::time_point m_free{}; // when the last byte written is in
};

// A request and what the radio gave back for it, faults included: what the radio "reported".
struct SimAnswer {
    CommandBlock request;
    QByteArray bytes;
};

// A pure model of the radio's computer-control port: bytes in, replies out, state.
// Input is framed in five-byte blocks (no echo). Besides what Quillon sends (ReadFlags,
// StatusUpdate, FilterSelect) it takes what other station software such as Hamlib's FT-1000MP
// driver sends: frequency, mode, split, PTT, pacing and the meter; other blocks are taken in
// and ignored. VFO A is the main receiver (first record), VFO B the sub receiver.
class VirtualRadio {
public:
    // 4800 baud, 1 start + 8 data + 2 stop bits: a byte is on the wire for 2.29 ms, either way.
    static constexpr int kBaud = 4800;
    static constexpr int kBitsPerByte = 1 + 8 + 2;
    static constexpr std::chrono::microseconds kByteTime{(1'000'000 * kBitsPerByte + kBaud / 2) / kBaud};
    // How long a request block takes to reach the radio once the program starts writing it.
    static constexpr std::chrono::microseconds kBlockAirTime = kByteTime * std::tuple_size_v<CommandBlock>;

    static constexpr quint8 kOpSplit = 0x01;     // P4: 0 off, 1 on
    static constexpr quint8 kOpSetFreqA = 0x0A;  // P1..P4: frequency / 10 Hz, packed BCD, low byte first
    static constexpr quint8 kOpSetFreqB = 0x8A;  // the same for VFO B
    static constexpr quint8 kOpMode = 0x0C;      // P4: mode code 0x00..0x0B, +0x80 for VFO B
    static constexpr quint8 kOpPtt = 0x0F;       // P4: 0 receive, 1 transmit
    static constexpr quint8 kOpReadMeter = 0xF7; // P4: which meter; answers 5 bytes
    // Bits of the first flags byte that the radio itself keeps up to date: split where Hamlib
    // reads it, transmit where the FT-1000 family keeps it (Hamlib reads no transmit flag).
    static constexpr quint8 kFlagSplit = 0x01;
    static constexpr quint8 kFlagTransmit = 0x80;
    // Meters with a reading of their own (all others read 0).
    static constexpr quint8 kMeterMainS = 0x00;
    static constexpr quint8 kMeterSubS = 0x01;

    VirtualRadio();

    // Takes bytes as they arrive from the program; returns the replies due to blocks completed.
    std::vector<SimReply> feed(QByteArrayView in);

    quint8 mainFilterByte() const { return m_main[8]; }
    quint8 subFilterByte() const { return m_sub[8]; }
    // Set directly, as an operator turning the radio's own knobs would.
    void setMainFilterByte(quint8 b) { m_main[8] = b; }
    void setSubFilterByte(quint8 b) { m_sub[8] = b; }

    // The frequency each record carries, in Hz (the program itself reads only the filters).
    // The radio tunes 100 kHz to 30 MHz; frequency blocks outside that are ignored.
    static constexpr quint32 kLowestHz = 100'000;
    static constexpr quint32 kHighestHz = 30'000'000;
    void setMainFrequency(quint32 hz);
    void setSubFrequency(quint32 hz);
    // What the records carry, to the nearest hertz.
    quint32 mainFrequency() const;
    quint32 subFrequency() const;
    void setId(quint8 id0, quint8 id1);
    void setFlags(quint8 f0, quint8 f1, quint8 f2);

    void setFault(RadioFault fault) { m_fault = fault; }
    RadioFault fault() const { return m_fault; }
    void setLatency(std::chrono::microseconds latency) { m_latency = latency; }
    // The radio's reply pacing: a pause of 0 to 255 ms after each byte of every reply. Also set
    // by the CAT pacing block (opcode 0x0E, milliseconds in parameter byte 3).
    static constexpr quint8 kOpPacing = 0x0E;
    void setPacing(std::chrono::microseconds pacing) { m_pacing = pacing; }
    std::chrono::microseconds pacing() const { return m_pacing; }
    std::chrono::microseconds latency() const { return m_latency; }
    void setLateDelay(std::chrono::microseconds d) { m_lateDelay = d; }
    void setShortReplyLength(int n) { m_shortLength = n; }
    void seedGarbage(std::uint32_t seed) { m_rng.seed(seed); }
    // LongReply: `lead` bytes of `fill` in front of every reply and `trail` bytes after it.
    void setLongReplyPadding(int lead, int trail, quint8 fill);

    // Every reply given, in order (requests the radio kept quiet about are not listed).
    const std::vector<SimAnswer> &answers() const { return m_answers; }

    // Every complete block received, in order.
    const std::vector<CommandBlock> &received() const { return m_received; }
    // Bytes of an incomplete block still waiting for the rest.
    int pendingBytes() const { return static_cast<int>(m_partial.size()); }

    // The 16-byte status records (frequency at offsets 1-4, mode at 7, filter byte at 8).
    QByteArray mainRecord() const;
    QByteArray subRecord() const;

private:
    SimReply answer(const CommandBlock &block);
    void applyFilterSelect(quint8 path, quint8 code);
    void applyMode(quint8 code);
    void setFlag(quint8 bit, quint8 onOff);

    std::array<quint8, 16> m_main{};
    std::array<quint8, 16> m_sub{};
    std::array<quint8, 5> m_flags{};
    std::array<quint8, 256> m_meters{};
    RadioFault m_fault = RadioFault::None;
    std::chrono::microseconds m_latency{5000};
    std::chrono::microseconds m_pacing{0};
    std::chrono::microseconds m_lateDelay{300000};
    int m_shortLength = 4;
    int m_padLead = 0;
    int m_padTrail = 8;
    quint8 m_padFill = 0x44;
    std::mt19937 m_rng{12345};
    QByteArray m_partial;
    std::vector<CommandBlock> m_received;
    std::vector<SimAnswer> m_answers;
};

// Gives the radio the bytes that have come in, one at a time as each arrived, and schedules its
// answers on `transmitter` from the moment the block's last byte was in. `onBlock` hears of
// every block completed, with that moment. Returns the reply bytes, in time order.
std::vector<WireByte> hearArrived(
    VirtualRadio &radio, ReplyTransmitter &transmitter, const std::vector<WireByte> &arrived,
    const std::function<void(const CommandBlock &, std::chrono::steady_clock::time_point)> &onBlock = {});

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#include "virtualradio.h"

#include <algorithm>
#include <optional>

namespace quillon::sim {

namespace {

// The filter a select code 0..4 chooses (2.4K, 2.0K, 500, 250, 6.0K/THRU), as the number the
// radio reports for it in the status byte.
constexpr std::array<quint8, 5> kStatusNumberForCode{1, 2, 3, 4, 0};

// Sub receiver select codes and the status byte each leaves behind.
constexpr quint8 kSubCode2400 = 128; // -> 0x11
constexpr quint8 kSubCode500 = 130;  // -> 0x33
constexpr quint8 kSubCode6000 = 132; // -> 0x00

// A 16-byte status record. The filter byte (offset 8) is what the program reads; frequency and
// mode are laid out as other station software (Hamlib) decodes them; the rest is filled with
// plausible values of our own choosing so that a reply looks like a real one and a decoder that
// reads the wrong offset sees something other than the filter:
//   0     band number
//   1..4  frequency, big-endian count of 0.625 Hz steps (Hz x 1.6), as the radio sends it and
//         every client reads it
//   5..6  clarifier offset (zero)
//   7     operating mode: 0 LSB, 1 USB, 2 CW, 3 AM, 4 FM, 5 RTTY, 6 packet
//   8     IF filter selection; bit 7 tells the two variants of a mode apart
//   9..15 flags, all clear
void putFrequency(std::array<quint8, 16> &r, quint32 hz) {
    const quint32 steps = static_cast<quint32>((quint64(hz) * 16 + 5) / 10);
    r[1] = static_cast<quint8>(steps >> 24);
    r[2] = static_cast<quint8>(steps >> 16);
    r[3] = static_cast<quint8>(steps >> 8);
    r[4] = static_cast<quint8>(steps);
}

quint32 getFrequency(const std::array<quint8, 16> &r) {
    const quint64 steps = (quint64(r[1]) << 24) | (quint64(r[2]) << 16) | (quint64(r[3]) << 8) | r[4];
    return static_cast<quint32>((steps * 10 + 8) / 16);
}

constexpr int kModeOffset = 7;
constexpr quint8 kModeVariantBit = 0x80; // in the filter byte

// What each mode code of the mode block leaves in a record: the mode number and whether the
// variant bit is set. Code 7 is listed by no client and its meaning is unknown, so it is ignored.
struct ModeEntry {
    bool known;
    quint8 mode;
    bool variant;
};
constexpr std::array<ModeEntry, 12> kModes{{
    {true, 0, false},  // 00 LSB
    {true, 1, false},  // 01 USB
    {true, 2, false},  // 02 CW, upper side
    {true, 2, true},   // 03 CW, lower side
    {true, 3, false},  // 04 AM
    {true, 3, true},   // 05 AM synchronous
    {true, 4, false},  // 06 FM
    {false, 0, false}, // 07 unknown
    {true, 5, false},  // 08 RTTY, lower side
    {true, 5, true},   // 09 RTTY, upper side
    {true, 6, false},  // 0A packet, lower side
    {true, 6, true},   // 0B packet, FM
}};

// The frequency a set-frequency block carries: eight BCD digits of 10 Hz steps, least
// significant byte first. Nothing for a digit that is no digit or a frequency out of range.
std::optional<quint32> blockFrequency(const CommandBlock &b) {
    quint32 tens = 0;
    for (int i = 3; i >= 0; --i) {
        const quint8 hi = b[static_cast<size_t>(i)] >> 4;
        const quint8 lo = b[static_cast<size_t>(i)] & 0x0F;
        if (hi > 9 || lo > 9)
            return std::nullopt;
        tens = tens * 100 + hi * 10 + lo;
    }
    const quint32 hz = tens * 10; // at most 999 999 990
    if (hz < VirtualRadio::kLowestHz || hz > VirtualRadio::kHighestHz)
        return std::nullopt;
    return hz;
}

std::array<quint8, 16> makeRecord(quint8 band, quint32 hz, quint8 mode, quint8 filter) {
    std::array<quint8, 16> r{};
    r[0] = band;
    putFrequency(r, hz);
    r[7] = mode;
    r[8] = filter;
    return r;
}

} // namespace

std::chrono::microseconds SimReply::byteDone(qsizetype i) const {
    return VirtualRadio::kByteTime * (i + 1) + pacing * i;
}

std::chrono::steady_clock::time_point deliveredAt(std::chrono::steady_clock::time_point arrived,
                                                  std::chrono::microseconds chunkPeriod) {
    if (chunkPeriod <= std::chrono::microseconds::zero())
        return arrived;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(chunkPeriod);
    const auto since = arrived.time_since_epoch();
    const auto ticks = (since + period - std::chrono::steady_clock::duration(1)) / period;
    return std::chrono::steady_clock::time_point(ticks * period);
}

std::vector<WireByte> ReplyTransmitter::schedule(const std::vector<SimReply> &replies,
                                                 std::chrono::steady_clock::time_point now) {
    std::vector<WireByte> out;
    for (const SimReply &reply : replies) {
        const auto start = std::max(now + reply.delay, m_free);
        for (qsizetype i = 0; i < reply.bytes.size(); ++i)
            out.push_back(WireByte{deliveredAt(start + reply.byteDone(i), m_chunkPeriod), reply.bytes.at(i)});
        m_free = start + reply.duration();
    }
    return out;
}

void RequestWire::reset(std::chrono::steady_clock::time_point now) {
    m_bytes.clear();
    m_free = now;
}

void RequestWire::write(QByteArrayView bytes, std::chrono::steady_clock::time_point at) {
    // A byte starts when it is written or when the one before it is through, whichever is later.
    for (char c : bytes) {
        m_free = std::max(m_free, at) + VirtualRadio::kByteTime;
        m_bytes.push_back(WireByte{m_free, c});
    }
}

std::optional<std::chrono::steady_clock::time_point> RequestWire::nextArrival() const {
    if (m_bytes.empty())
        return std::nullopt;
    return m_bytes.front().at;
}

std::vector<WireByte> RequestWire::takeArrived(std::chrono::steady_clock::time_point now) {
    std::vector<WireByte> out;
    while (!m_bytes.empty() && m_bytes.front().at <= now) {
        out.push_back(m_bytes.front());
        m_bytes.pop_front();
    }
    return out;
}

std::vector<WireByte>
hearArrived(VirtualRadio &radio, ReplyTransmitter &transmitter, const std::vector<WireByte> &arrived,
            const std::function<void(const CommandBlock &, std::chrono::steady_clock::time_point)> &onBlock) {
    std::vector<WireByte> out;
    for (const WireByte &in : arrived) {
        const size_t before = radio.received().size();
        const std::vector<SimReply> replies = radio.feed(QByteArrayView(&in.byte, 1));
        if (onBlock)
            for (size_t i = before; i < radio.received().size(); ++i)
                onBlock(radio.received()[i], in.at);
        for (const WireByte &b : transmitter.schedule(replies, in.at))
            out.push_back(b);
    }
    return out;
}

VirtualRadio::VirtualRadio()
    : m_main(makeRecord(0x06, 14'250'000, 0x01, 0x11)) // 14.250 MHz USB, 2.4K in both IFs
      ,
      m_sub(makeRecord(0x03, 7'050'000, 0x00, 0x11)) // 7.050 MHz LSB, 2.4K
      ,
      m_flags{0x02, 0x20, 0x02, kRadioId0, kRadioId1} // what a real Mark V answered
{
    // A signal of S9 on the main receiver and S6 on the sub (on Hamlib's scale for this radio).
    m_meters[kMeterMainS] = 160;
    m_meters[kMeterSubS] = 102;
}

void VirtualRadio::setMainFrequency(quint32 hz) { putFrequency(m_main, hz); }

void VirtualRadio::setSubFrequency(quint32 hz) { putFrequency(m_sub, hz); }

quint32 VirtualRadio::mainFrequency() const { return getFrequency(m_main); }

quint32 VirtualRadio::subFrequency() const { return getFrequency(m_sub); }

void VirtualRadio::setId(quint8 id0, quint8 id1) {
    m_flags[3] = id0;
    m_flags[4] = id1;
}

void VirtualRadio::setLongReplyPadding(int lead, int trail, quint8 fill) {
    m_padLead = std::max(0, lead);
    m_padTrail = std::max(0, trail);
    m_padFill = fill;
}

void VirtualRadio::setFlags(quint8 f0, quint8 f1, quint8 f2) {
    m_flags[0] = f0;
    m_flags[1] = f1;
    m_flags[2] = f2;
}

QByteArray VirtualRadio::mainRecord() const {
    return QByteArray(reinterpret_cast<const char *>(m_main.data()), static_cast<qsizetype>(m_main.size()));
}

QByteArray VirtualRadio::subRecord() const {
    return QByteArray(reinterpret_cast<const char *>(m_sub.data()), static_cast<qsizetype>(m_sub.size()));
}

std::vector<SimReply> VirtualRadio::feed(QByteArrayView in) {
    std::vector<SimReply> replies;
    // A pulled cable: nothing reaches the radio, so no half block is left behind either.
    if (m_fault == RadioFault::Unplugged)
        return replies;
    m_partial.append(in);
    qsizetype used = 0;
    while (m_partial.size() - used >= 5) {
        CommandBlock block{};
        for (int i = 0; i < 5; ++i)
            block[static_cast<size_t>(i)] = static_cast<quint8>(m_partial.at(used + i));
        used += 5;
        m_received.push_back(block);
        SimReply reply = answer(block);
        if (!reply.bytes.isEmpty()) {
            m_answers.push_back(SimAnswer{block, reply.bytes});
            replies.push_back(std::move(reply));
        }
    }
    m_partial.remove(0, used);
    return replies;
}

SimReply VirtualRadio::answer(const CommandBlock &block) {
    QByteArray bytes;
    switch (block[4]) {
    case kOpReadFlags:
        bytes = QByteArray(reinterpret_cast<const char *>(m_flags.data()), 5);
        if (m_fault == RadioFault::WrongId) {
            bytes[3] = static_cast<char>(kRadioId0);
            bytes[4] = static_cast<char>(0x94);
        }
        break;
    case kOpStatusUpdate:
        if (block[3] == kStatusMain)
            bytes = mainRecord();
        else if (block[3] == kStatusMainAndSub)
            bytes = mainRecord() + subRecord();
        break;
    case kOpFilterSelect:
        // Applied even when the radio is told to keep quiet: faults spoil replies, not knobs.
        applyFilterSelect(block[0], block[3]);
        break;
    case kOpPacing:
        // Other station software sets this (Hamlib sends 0 when it opens the radio).
        m_pacing = std::chrono::milliseconds(block[3]);
        break;
    case kOpSetFreqA:
    case kOpSetFreqB:
        if (const std::optional<quint32> hz = blockFrequency(block))
            putFrequency(block[4] == kOpSetFreqA ? m_main : m_sub, *hz);
        break;
    case kOpMode:
        applyMode(block[3]);
        break;
    case kOpSplit:
        setFlag(kFlagSplit, block[3]);
        break;
    case kOpPtt:
        setFlag(kFlagTransmit, block[3]);
        break;
    case kOpReadMeter:
        // The reading four times, then the opcode; clients read the first byte.
        bytes = QByteArray(4, static_cast<char>(m_meters[block[3]])) + static_cast<char>(kOpReadMeter);
        break;
    default:
        break;
    }
    if (bytes.isEmpty())
        return {};

    SimReply reply{bytes, m_latency, m_pacing};
    switch (m_fault) {
    case RadioFault::None:
    case RadioFault::WrongId:
    case RadioFault::Unplugged:
        break;
    case RadioFault::Silent:
        return {};
    case RadioFault::ShortReply:
        reply.bytes.truncate(std::max(0, m_shortLength));
        break;
    case RadioFault::Garbage: {
        std::uniform_int_distribution<int> length(1, 40);
        std::uniform_int_distribution<int> value(0, 255);
        const int n = length(m_rng);
        reply.bytes.resize(n);
        for (int i = 0; i < n; ++i)
            reply.bytes[i] = static_cast<char>(value(m_rng));
        break;
    }
    case RadioFault::LateReply:
        reply.delay = m_lateDelay;
        break;
    case RadioFault::LongReply:
        reply.bytes = QByteArray(m_padLead, static_cast<char>(m_padFill)) + reply.bytes +
                      QByteArray(m_padTrail, static_cast<char>(m_padFill));
        break;
    case RadioFault::Repeated:
        reply.bytes += reply.bytes;
        break;
    }
    return reply;
}

void VirtualRadio::applyFilterSelect(quint8 path, quint8 code) {
    switch (path) {
    case 0: { // bit 7 is the sub receiver's mode flag and stays
        const quint8 flag = m_sub[8] & kModeVariantBit;
        if (code == kSubCode2400)
            m_sub[8] = flag | 0x11;
        else if (code == kSubCode500)
            m_sub[8] = flag | 0x33;
        else if (code == kSubCode6000)
            m_sub[8] = flag;
        break;
    }
    case 1: // 8.215 MHz filter: bits 6-4; bit 7 is a mode flag and stays
        if (code < kStatusNumberForCode.size())
            m_main[8] = static_cast<quint8>((m_main[8] & ~0x70) | (kStatusNumberForCode[code] << 4));
        break;
    case 2: // 455 kHz filter: bits 2-0
        if (code < kStatusNumberForCode.size())
            m_main[8] = static_cast<quint8>((m_main[8] & ~0x07) | kStatusNumberForCode[code]);
        break;
    default:
        break;
    }
}

void VirtualRadio::applyMode(quint8 code) {
    const quint8 index = code & 0x7F;
    if (index >= kModes.size() || !kModes[index].known)
        return;
    std::array<quint8, 16> &r = (code & 0x80) ? m_sub : m_main;
    r[kModeOffset] = kModes[index].mode;
    r[8] = static_cast<quint8>((r[8] & ~kModeVariantBit) | (kModes[index].variant ? kModeVariantBit : 0));
}

// Split and PTT take 0 (off) or 1 (on); anything else is not a command the radio knows.
void VirtualRadio::setFlag(quint8 bit, quint8 onOff) {
    if (onOff == 1)
        m_flags[0] |= bit;
    else if (onOff == 0)
        m_flags[0] = static_cast<quint8>(m_flags[0] & ~bit);
}

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#include "virtualradio.h"

#include <algorithm>

namespace quillon::sim {

namespace {

// The filter a select code 0..4 chooses (2.4K, 2.0K, 500, 250, 6.0K/THRU), as the number the
// radio reports for it in the status byte.
constexpr std::array<quint8, 5> kStatusNumberForCode{1, 2, 3, 4, 0};

// Sub receiver select codes and the status byte each leaves behind.
constexpr quint8 kSubCode2400 = 128; // -> 0x11
constexpr quint8 kSubCode500 = 130;  // -> 0x33
constexpr quint8 kSubCode6000 = 132; // -> 0x00

// A 16-byte status record. Only the filter byte (offset 8) matters to the program; the rest is
// filled with plausible values of our own choosing so that a reply looks like a real one and a
// decoder that reads the wrong offset sees something other than the filter:
//   0     band number
//   1..4  frequency, big-endian count of 0.625 Hz steps (Hz x 1.6), as the radio sends it and
//         every client reads it
//   5..6  clarifier offset (zero)
//   7     operating mode (1 = USB on main, 0 = LSB on sub)
//   8     IF filter selection
//   9..15 flags, all clear
void putFrequency(std::array<quint8, 16> &r, quint32 hz) {
    const quint32 steps = static_cast<quint32>((quint64(hz) * 16 + 5) / 10);
    r[1] = static_cast<quint8>(steps >> 24);
    r[2] = static_cast<quint8>(steps >> 16);
    r[3] = static_cast<quint8>(steps >> 8);
    r[4] = static_cast<quint8>(steps);
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

VirtualRadio::VirtualRadio()
    : m_main(makeRecord(0x06, 14'250'000, 0x01, 0x11)) // 14.250 MHz USB, 2.4K in both IFs
      ,
      m_sub(makeRecord(0x03, 7'050'000, 0x00, 0x11)) // 7.050 MHz LSB, 2.4K
      ,
      m_flags{0x02, 0x20, 0x02, kRadioId0, kRadioId1} // what a real Mark V answered
{}

void VirtualRadio::setMainFrequency(quint32 hz) { putFrequency(m_main, hz); }

void VirtualRadio::setSubFrequency(quint32 hz) { putFrequency(m_sub, hz); }

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
    case 0:
        if (code == kSubCode2400)
            m_sub[8] = 0x11;
        else if (code == kSubCode500)
            m_sub[8] = 0x33;
        else if (code == kSubCode6000)
            m_sub[8] = 0x00;
        break;
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

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#include "rigctlsession.h"

#include "blockreply.h"

#include "filters/passband.h"

#include <QList>

#include <array>
#include <cmath>
#include <cstdlib>

namespace quillon::rigctlproto {

namespace {

using Vfo = RigState::Vfo;

// Hamlib's FT-1000MP driver: the records it reads and where it finds things in them.
constexpr quint8 kOpClarifier = 0x09;
constexpr quint8 kOpFreqA = 0x0A;
constexpr quint8 kOpFreqB = 0x8A;
constexpr quint8 kOpMode = 0x0C;
constexpr quint8 kOpPtt = 0x0F;
constexpr quint8 kOpSplit = 0x01;
constexpr quint8 kOpMeter = 0xF7;
constexpr int kBothVfosLength = 32; // record 3: VFO A, then VFO B
constexpr int kCurrentLength = 16;  // record 2: the operating VFO
constexpr int kFlagsLength = 5;
constexpr int kMeterLength = 5;
constexpr int kVfoB = 0x10; // VFO B's data in record 3 begins this far after VFO A's
constexpr int kFreqAt = 0x01;
constexpr int kClarAt = 0x05;
constexpr int kModeAt = 0x07;
constexpr int kIfAt = 0x08;
// The radio tunes 100 kHz to 30 MHz. Hamlib sends any frequency, which the radio's BCD
// cannot hold beyond; such a block is never sent (the door would drop it too) and is refused.
constexpr double kLowestHz = 100'000;
constexpr double kHighestHz = 30'000'000;
constexpr long kMaxRit = 9999; // the clarifier's range, as the driver's capabilities give it

CommandBlock block(quint8 p1, quint8 p2, quint8 p3, quint8 p4, quint8 op) { return {p1, p2, p3, p4, op}; }
CommandBlock status(quint8 which) { return statusBlock(which); }
CommandBlock flagsRead() { return block(0, 0, 0, 0, kOpReadFlags); }

const char *vfoName(Vfo vfo) {
    switch (vfo) {
    case Vfo::A:
        return "VFOA";
    case Vfo::B:
        return "VFOB";
    case Vfo::C:
        return "VFOC";
    case Vfo::Mem:
        return "MEM";
    }
    return "VFOA";
}

// Hamlib's VFO names as rigctld takes them; currVFO and VFO keep the one in use.
std::optional<Vfo> parseVfo(const QByteArray &name, Vfo current) {
    static const std::pair<const char *, Vfo> kNames[] = {
        {"VFOA", Vfo::A}, {"VFOB", Vfo::B}, {"VFOC", Vfo::C},  {"MEM", Vfo::Mem},
        {"Main", Vfo::A}, {"Sub", Vfo::B},  {"MainA", Vfo::A}, {"MainB", Vfo::B},
    };
    if (name == "currVFO" || name == "VFO")
        return current;
    for (const auto &[text, vfo] : kNames)
        if (name == text)
            return vfo;
    return std::nullopt;
}

// sscanf's %lf and %ld: a number at the start of the word, whatever follows it.
std::optional<double> parseDouble(const QByteArray &text) {
    const char *start = text.constData();
    char *end = nullptr;
    const double value = std::strtod(start, &end);
    return end == start ? std::nullopt : std::optional<double>(value);
}
std::optional<long> parseLong(const QByteArray &text) {
    const char *start = text.constData();
    char *end = nullptr;
    const long value = std::strtol(start, &end, 10);
    return end == start ? std::nullopt : std::optional<long>(value);
}

// Frequency in the radio's BCD, 10 Hz steps, lowest digits first.
CommandBlock frequencyBlock(quint8 opcode, double hz) {
    auto tens = static_cast<quint32>(std::llround(hz / 10.0));
    CommandBlock b{0, 0, 0, 0, opcode};
    for (int i = 0; i < 4; ++i) {
        const quint8 low = tens % 10;
        tens /= 10;
        const quint8 high = tens % 10;
        tens /= 10;
        b[static_cast<std::size_t>(i)] = static_cast<quint8>(high << 4 | low);
    }
    return b;
}

quint8 at(const QByteArray &record, int offset) { return static_cast<quint8>(record.at(offset)); }

// The driver's reading of a VFO's frequency: a binary count of 0.625 Hz steps.
qint64 frequencyAt(const QByteArray &record, int offset) {
    qint64 raw = 0;
    for (int i = 0; i < 4; ++i)
        raw = raw << 8 | at(record, offset + i);
    return raw * 10 / 16;
}

long clarifierAt(const QByteArray &record, int offset) {
    long f = (at(record, offset) << 8) + at(record, offset + 1);
    if (at(record, offset) & 0x80)
        f = -(~(f - 1) & 0x7fff);
    return f * 10 / 16;
}

struct Mode {
    const char *name;
    quint8 code;  // the mode block's code on VFO A; VFO B adds 0x80
    quint8 codeB; // where the driver sends another one for VFO B
};
// Hamlib's names for what the driver sets, with its codes (CW and CWR are crossed in the
// driver, and PKTFM on VFO B becomes FM: kept, for the same radio state as rigctld leaves).
constexpr std::array<Mode, 16> kModes{{
    {"AM", 0x04, 0x84},
    {"CW", 0x03, 0x83},
    {"CWR", 0x02, 0x82},
    {"CW-R", 0x02, 0x82},
    {"USB", 0x01, 0x81},
    {"LSB", 0x00, 0x80},
    {"FM", 0x06, 0x86},
    {"RTTY", 0x08, 0x88},
    {"RTTYR", 0x09, 0x89},
    {"RTTY-R", 0x09, 0x89},
    {"PKTUSB", 0x09, 0x89},
    {"USB-D", 0x09, 0x89},
    {"PKTLSB", 0x0A, 0x8A},
    {"LSB-D", 0x0A, 0x8A},
    {"PKTFM", 0x0B, 0x86},
    {"FM-D", 0x0B, 0x86},
}};

// The mode as the driver decodes a VFO's mode byte and the mode bit of its filter byte; null
// for a byte it does not know.
const char *decodeMode(quint8 mode, quint8 filter) {
    const bool ext = filter & 0x80;
    switch (mode & 0x07) {
    case 0:
        return "LSB";
    case 1:
        return "USB";
    case 2:
        return ext ? "CW" : "CWR";
    case 3:
        return ext ? "SAL" : "AM";
    case 4:
        return "FM";
    case 5:
        return ext ? "RTTYR" : "RTTY";
    case 6:
        return ext ? "PKTFM" : "PKTLSB";
    default:
        return nullptr;
    }
}

// Hamlib's normal passband for a mode on this radio, what it answers without a filter to go by.
int normalWidth(const QByteArray &mode) { return mode == "FM" || mode == "PKTFM" ? 8000 : 2400; }

QByteArray num(qint64 v) { return QByteArray::number(v); }
QByteArray fixed6(double v) { return QByteArray::number(v, 'f', 6); }

using Outcome = Session::Outcome;

Outcome done(QList<Value> values) {
    Outcome o;
    o.values = std::move(values);
    return o;
}
Outcome failed(int result) {
    Outcome o;
    o.result = result;
    return o;
}
Outcome sends(QList<CommandBlock> blocks) {
    Outcome o;
    o.sends = std::move(blocks);
    return o;
}
Outcome reading(CommandBlock request, int length, std::function<Outcome(const QByteArray &)> then,
                QList<CommandBlock> before = {}) {
    Outcome o;
    o.sends = std::move(before);
    o.read = Session::Read{request, length};
    o.then = std::move(then);
    return o;
}

// The S-meter's calibration in the driver: raw reading to dB over S9, between the points.
int strengthOf(int raw) {
    static constexpr std::array<std::pair<int, int>, 12> kCal{{{0, -60},
                                                               {17, -54},
                                                               {17, -48},
                                                               {34, -42},
                                                               {51, -36},
                                                               {68, -30},
                                                               {85, -24},
                                                               {102, -18},
                                                               {119, -12},
                                                               {136, -6},
                                                               {160, 0},
                                                               {255, 60}}};
    std::size_t i = 0;
    while (i < kCal.size() && raw >= kCal[i].first)
        ++i;
    if (i == 0)
        return kCal[0].second;
    if (i >= kCal.size())
        return kCal[i - 1].second;
    const auto [raw1, val1] = kCal[i];
    const auto [raw0, val0] = kCal[i - 1];
    if (raw1 == raw0)
        return val1;
    const float interpolation = (raw1 - raw) * float(val1 - val0) / float(raw1 - raw0);
    return static_cast<int>(val1 - interpolation);
}

} // namespace

QByteArray dumpState() {
    return QByteArrayLiteral("1\n"
                             "1004\n"
                             "0\n"
                             "100000.000000 30000000.000000 0x3f -1 -1 0x3 0x0\n"
                             "0 0 0 0 0 0 0\n"
                             "1810000.000000 2000000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "3500000.000000 3800000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "7000000.000000 7200000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "10100000.000000 10150000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "14000000.000000 14350000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "18068000.000000 18168000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "21000000.000000 21450000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "24890000.000000 24990000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "28000000.000000 29700000.000000 0x3e 5000 200000 0x3 0x0\n"
                             "1810000.000000 2000000.000000 0x1 2000 50000 0x3 0x0\n"
                             "3500000.000000 3800000.000000 0x1 2000 50000 0x3 0x0\n"
                             "7000000.000000 7200000.000000 0x1 2000 50000 0x3 0x0\n"
                             "10100000.000000 10150000.000000 0x1 2000 50000 0x3 0x0\n"
                             "14000000.000000 14350000.000000 0x1 2000 50000 0x3 0x0\n"
                             "18068000.000000 18168000.000000 0x1 2000 50000 0x3 0x0\n"
                             "21000000.000000 21450000.000000 0x1 2000 50000 0x3 0x0\n"
                             "24890000.000000 24990000.000000 0x1 2000 50000 0x3 0x0\n"
                             "28000000.000000 29700000.000000 0x1 2000 50000 0x3 0x0\n"
                             "0 0 0 0 0 0 0\n"
                             "0x59e 10\n"
                             "0x59e 100\n"
                             "0x20001 100\n"
                             "0x20001 1000\n"
                             "0x1020 100\n"
                             "0x1020 1000\n"
                             "0 0\n"
                             "0x2059f 2400\n"
                             "0x2059f 2000\n"
                             "0x192 500\n"
                             "0x192 250\n"
                             "0x20001 5000\n"
                             "0x1020 8000\n"
                             "0 0\n"
                             "9999\n"
                             "9999\n"
                             "1120\n"
                             "0\n"
                             "\n"
                             "\n"
                             "0x810100ff\n"
                             "0x810100ff\n"
                             "0x74013800\n"
                             "0x2000000000000\n"
                             "0x0\n"
                             "0x0\n"
                             "vfo_ops=0x6d\n"
                             "ptt_type=0x1\n"
                             "targetable_vfo=0x1\n"
                             "has_set_vfo=1\n"
                             "has_get_vfo=1\n"
                             "has_set_freq=1\n"
                             "has_get_freq=1\n"
                             "has_set_conf=0\n"
                             "has_get_conf=0\n"
                             "has_power2mW=0\n"
                             "has_mW2power=0\n"
                             "timeout=400\n"
                             "rig_model=1004\n"
                             "rigctld_version=Quillon, speaking rigctld 4.5.4\n"
                             "agc_levels=\n"
                             "ctcss_list= 67.0 71.9 77.0 82.5 88.5 94.8 100.0 103.5 107.2 110.9 114.8 118.8 "
                             "123.0 127.3 131.8 136.5 141.3 146.2 151.4 156.7 159.8 162.2 167.9 173.8 179.9 "
                             "186.2 192.8 203.5 210.7 218.1 225.7 233.6 241.8 250.3\n"
                             "done\n");
}

std::optional<Session::Read> Session::waitingRead() const {
    return m_current ? m_pending.read : std::nullopt;
}

void Session::feed(QByteArrayView bytes) {
    m_parser.feed(bytes);
    run();
}

void Session::reply(std::optional<QByteArray> bytes, int failure) {
    if (!m_current || !m_pending.read)
        return;
    Outcome next =
        bytes && bytes->size() == m_pending.read->length ? m_pending.then(*bytes) : failed(failure);
    const Command command = *m_current;
    m_current.reset();
    start(command, std::move(next));
    run();
}

void Session::settled(int result) {
    if (!m_current || m_unsettled == 0)
        return;
    --m_unsettled;
    if (m_setResult == kOk)
        m_setResult = result;
    finishIfDone();
    run();
}

void Session::giveUp() {
    if (!m_current)
        return;
    m_text += formatAnswer(*m_current, m_form, {}, kTimeout);
    m_current.reset();
    m_unsettled = 0;
}

void Session::run() {
    while (!m_current && !m_quit) {
        const std::optional<Command> command = m_parser.next();
        if (!command)
            return;
        if (command->isQuit()) {
            m_text += formatAnswer(*command, m_form, {}, kOk);
            m_quit = true;
            return;
        }
        m_setResult = kOk;
        ++m_begun;
        start(*command, execute(*command));
    }
}

// The command's blocks go out; it is answered at once when it has none, else once its sets have
// settled and its read (if any) is answered.
void Session::start(const Command &command, Outcome outcome) {
    for (const CommandBlock &b : outcome.sends)
        m_blocks += toBytes(b);
    m_unsettled += int(outcome.sends.size());
    if (outcome.read)
        m_blocks += toBytes(outcome.read->block);
    m_current = command;
    m_pending = std::move(outcome);
    finishIfDone();
}

void Session::finishIfDone() {
    if (!m_current || m_pending.read || m_unsettled > 0)
        return;
    const int result = m_setResult != kOk ? m_setResult : m_pending.result;
    m_text += formatAnswer(*m_current, m_form, result == kOk ? m_pending.values : QList<Value>{}, result);
    m_current.reset();
}

Session::Outcome Session::execute(const Command &command) {
    const QList<QByteArray> &args = command.args;
    const Vfo vfo = m_state.vfo;
    const bool onB = vfo == Vfo::B;
    // The driver reads both VFOs for A and B, and the operating one for anything else (where
    // it takes VFO A's place in the record).
    const bool both = vfo == Vfo::A || vfo == Vfo::B;
    const CommandBlock vfoRecord = status(both ? kStatusMainAndSub : kStatusMain);
    const int vfoLength = both ? kBothVfosLength : kCurrentLength;
    const int base = onB ? kVfoB : 0;

    auto modeValues = [](const QByteArray &record, int offset, bool sub, const char *modeLabel,
                         const char *widthLabel) -> Outcome {
        const char *mode = decodeMode(at(record, offset + kModeAt), at(record, offset + kIfAt));
        if (!mode)
            return failed(kInvalid);
        const quint8 filter = at(record, offset + kIfAt);
        const std::optional<int> passband = sub ? subPassband(filter) : mainPassband(filter);
        return done({{mode, modeLabel}, {num(passband.value_or(normalWidth(mode))), widthLabel}});
    };
    // A mode block and, for a positive width, the filters nearest it.
    auto modeSet = [](const QByteArray &name, const QByteArray &widthText, bool sub,
                      QList<CommandBlock> *out) -> int {
        const std::optional<long> width = parseLong(widthText);
        if (!width)
            return kInvalid;
        const auto it =
            std::find_if(kModes.begin(), kModes.end(), [&](const Mode &m) { return name == m.name; });
        if (it == kModes.end())
            return kInvalid;
        out->append(block(0, 0, 0, sub ? it->codeB : it->code, kOpMode));
        for (const CommandBlock &b : sub ? subFilterBlocks(*width) : mainFilterBlocks(*width))
            out->append(b);
        return kOk;
    };
    auto frequencySet = [](const QByteArray &text, quint8 opcode, QList<CommandBlock> *out) -> int {
        const std::optional<double> hz = parseDouble(text);
        if (!hz)
            return kInvalid;
        const double rounded = std::round(*hz / 10.0) * 10.0;
        if (rounded < kLowestHz || rounded > kHighestHz)
            return kInvalid;
        out->append(frequencyBlock(opcode, rounded));
        return kOk;
    };

    switch (command.code()) {
    case 'f':
        return reading(vfoRecord, vfoLength, [base](const QByteArray &r) {
            return done({{num(frequencyAt(r, base + kFreqAt)), "Frequency"}});
        });
    case 'F': {
        if (vfo == Vfo::Mem)
            return failed(kNotImplemented);
        if (vfo == Vfo::C)
            return failed(kInvalid);
        QList<CommandBlock> out;
        const int result = frequencySet(args[0], onB ? kOpFreqB : kOpFreqA, &out);
        return result == kOk ? sends(out) : failed(result);
    }
    case 'm':
        return reading(vfoRecord, vfoLength,
                       [=](const QByteArray &r) { return modeValues(r, base, onB, "Mode", "Passband"); });
    case 'M': {
        QList<CommandBlock> out;
        const int result = modeSet(args[0], args[1], onB, &out);
        return result == kOk ? sends(out) : failed(result);
    }
    case 'v':
        return reading(flagsRead(), kFlagsLength, [vfo](const QByteArray &r) {
            return done({{(at(r, 1) & 0x40) ? "MEM" : vfoName(vfo), "VFO"}});
        });
    case 'V': {
        const std::optional<Vfo> to = parseVfo(args[0], vfo);
        if (!to)
            return failed(kInvalid);
        m_state.vfo = *to;
        return done({});
    }
    case 't':
        return done({{num(m_state.ptt), "PTT"}});
    case 'T': {
        const std::optional<long> ptt = parseLong(args[0]);
        if (!ptt)
            return failed(kInvalid);
        m_state.ptt = static_cast<int>(*ptt);
        return sends({block(0, 0, 0, *ptt ? 1 : 0, kOpPtt)});
    }
    case 's':
        return reading(flagsRead(), kFlagsLength, [](const QByteArray &r) {
            const bool split = at(r, 0) & 0x01;
            return done({{split ? "1" : "0", "Split"}, {split ? "VFOB" : "VFOA", "TX VFO"}});
        });
    case 'S': {
        const std::optional<long> split = parseLong(args[0]);
        if (!split || !parseVfo(args[1], vfo) || *split < 0 || *split > 1)
            return failed(kInvalid);
        // The driver takes VFO A as the one in use whenever split is set.
        m_state.vfo = Vfo::A;
        return sends({block(0, 0, 0, static_cast<quint8>(*split), kOpSplit)});
    }
    case 'I': {
        QList<CommandBlock> out{block(0, 0, 0, 1, kOpSplit)};
        const int result = frequencySet(args[0], kOpFreqB, &out);
        if (result != kOk)
            return failed(result);
        m_state.vfo = Vfo::A;
        return sends(out);
    }
    case 'i':
        return reading(status(kStatusMainAndSub), kBothVfosLength, [](const QByteArray &r) {
            return done({{num(frequencyAt(r, kVfoB + kFreqAt)), "TX Frequency"}});
        });
    case 'X': {
        QList<CommandBlock> out;
        const int result = modeSet(args[0], args[1], true, &out);
        return result == kOk ? sends(out) : failed(result);
    }
    case 'x':
        return reading(status(kStatusMainAndSub), kBothVfosLength, [=](const QByteArray &r) {
            return modeValues(r, kVfoB, true, "TX Mode", "TX Passband");
        });
    case 'K': {
        QList<CommandBlock> out;
        int result = modeSet(args[1], args[2], true, &out);
        if (result == kOk) {
            out.append(block(0, 0, 0, 1, kOpSplit));
            result = frequencySet(args[0], kOpFreqB, &out);
        }
        if (result != kOk)
            return failed(result);
        m_state.vfo = Vfo::A;
        return sends(out);
    }
    case 'k':
        return reading(status(kStatusMainAndSub), kBothVfosLength, [=](const QByteArray &r) {
            Outcome o = modeValues(r, kVfoB, true, "TX Mode", "TX Passband");
            if (o.result == kOk)
                o.values.prepend({num(frequencyAt(r, kVfoB + kFreqAt)), "TX Frequency"});
            return o;
        });
    case 'J': {
        const std::optional<long> rit = parseLong(args[0]);
        if (!rit || std::labs(*rit) > kMaxRit)
            return failed(kInvalid);
        QList<CommandBlock> out;
        if (*rit != 0)
            out.append(block(0, 0, 0, 0x01, kOpClarifier)); // the clarifier on
        const long size = std::labs(*rit);
        const long tens = (size % 1000) / 10;
        const long khz = size / 1000;
        out.append(block(static_cast<quint8>((tens / 10) << 4 | tens % 10), static_cast<quint8>(khz),
                         *rit < 0 ? 0xFF : 0x00, 0xFF, kOpClarifier));
        return sends(out);
    }
    case 'j':
        // The driver reads the operating VFO's record for the clarifier, whichever VFO is in use.
        return reading(status(kStatusMain), kCurrentLength, [](const QByteArray &r) {
            return done({{num(clarifierAt(r, kClarAt)), "RIT"}});
        });
    case 'l': {
        struct Level {
            const char *name;
            quint8 meter;
            bool isFloat;
        };
        static const Level kLevels[] = {
            {"RAWSTR", 0x00, false}, {"STRENGTH", 0x00, false}, {"RFPOWER", 0x80, true},
            {"ALC", 0x81, true},     {"COMP", 0x83, true},      {"SWR", 0x85, true},
            {"MICGAIN", 0x86, true}, {"CWPITCH", 0xF1, false},
        };
        const auto *level = std::find_if(std::begin(kLevels), std::end(kLevels),
                                         [&](const Level &l) { return args[0] == l.name; });
        if (level == std::end(kLevels))
            return failed(kInvalid);
        quint8 meter = level->meter;
        if (level->meter == 0x00 && onB)
            meter = 0x01; // the sub receiver's S-meter
        const bool strength = args[0] == "STRENGTH";
        const bool isFloat = level->isFloat;
        return reading(block(meter, meter, meter, meter, kOpMeter), kMeterLength,
                       [strength, isFloat](const QByteArray &r) {
                           const int raw = at(r, 0);
                           if (isFloat)
                               return done({{fixed6(float(raw) / 255)}});
                           return done({{num(strength ? strengthOf(raw) : raw)}});
                       });
    }
    case kGetPowerstat:
        return done({{"1", "Power Status", true}});
    case kChkVfo:
        return done({{"0", "ChkVFO", true}});
    case kDumpState: {
        QByteArray state = dumpState();
        state.chop(1);
        return done({{state, nullptr, true}});
    }
    default:
        // Everything else rigctld knows: not on this door (send_cmd and send_raw would be the
        // raw CAT stream, which this port never reaches).
        return failed(kNotAvailable);
    }
}

} // namespace quillon::rigctlproto

// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for a radio on another machine: the virtual radio on a pseudo-terminal behind a real
// ser2net on a loopback port, reached through the TCP line. For each link: whether the search
// finds the radio, how long a poll (main and sub status) takes, how many records arrive whole
// and whether the lamps are right, with the radio's filters changed half-way. Latency is
// added either by the radio (its reply delay) or by a relay that holds every chunk for the
// given time in each direction, as a long network path does. Then ser2net is stopped and
// started again: CPU while it is down, and the time until the lamps follow again.
#include "filters/filterstatus.h"
#include "filters/lamps.h"
#include "radio/discovery.h"
#include "radio/tcpserialline.h"
#include "sim/cputime.h"
#include "sim/networkpeers.h"
#include "sim/ptyradioserver.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

using namespace quillon;
using namespace std::chrono;
using Clock = steady_clock;

namespace {

struct State {
    quint8 main;
    quint8 sub;
};
constexpr State kFirst{0x22, 0x33};
constexpr State kSecond{0x94, 0x00};

struct Lamps {
    std::optional<FilterId> hi, lo, sub;
    bool operator==(const Lamps &) const = default;
};

Lamps lampsOf(State s) {
    const MainLamps m = decodeMainFilterByte(s.main);
    return {m.hi, m.lo, decodeSubFilterByte(s.sub).lit};
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// What the window does twice a second, on the line as it stands: both exchanges, the lamps
// updated only from a whole record. Returns how long the poll took.
double poll(SerialLine &line, ReplyWait &wait, Lamps &lamps, int &wholeMain, int &wholeSub) {
    const auto start = Clock::now();
    QByteArray RxData;
    exchangeMainStatus(line, wait, RxData);
    if (const MainLamps m = decodeMainReply(RxData); m.decoded) {
        ++wholeMain;
        lamps.hi = m.hi;
        lamps.lo = m.lo;
    }
    exchangeSubStatus(line, wait, RxData);
    if (const SubLamps s = decodeSubReply(RxData); s.decoded) {
        ++wholeSub;
        lamps.sub = s.lit;
    }
    return duration<double, std::milli>(Clock::now() - start).count();
}

// Before a poll, what the line's owner does with a lost line: a new try at most every
// reopenInterval(), and the line kept only when the radio answers the probe there.
void retake(SerialLine &line, ReplyWait &wait, Clock::time_point &lastTry) {
    if (!line.isLost())
        return;
    if (!line.reopening()) {
        if (Clock::now() - lastTry < line.reopenInterval())
            return;
        lastTry = Clock::now();
    }
    if (line.reopen() == LineError::None && !stillTheRadio(line, wait))
        line.letGo();
}

void sleepToNextTick(Clock::time_point &tick) {
    tick += 500ms;
    std::this_thread::sleep_until(tick);
}

// The radio in its first state, answering after `latency`.
void resetRadio(sim::PtyRadioServer &radio, milliseconds latency) {
    radio.withRadio([&](sim::VirtualRadio &r) {
        r.setLatency(latency);
        r.setMainFilterByte(kFirst.main);
        r.setSubFilterByte(kFirst.sub);
    });
}

// The search as --port HOST:PORT makes it: the one port, probed once.
bool findRadio(SerialLine &line, ReplyWait &wait) {
    qint16 PortNum = 0;
    QByteArray RxData;
    return searchForRadio(line, wait, PortNum, RxData, nullptr, SearchPlan{1, 1, QString(), {}});
}

void runLink(const char *name, sim::PtyRadioServer &radio, quint16 port, milliseconds radioDelay) {
    constexpr int kPolls = 16;
    resetRadio(radio, radioDelay);
    TcpSerialLine line(QStringLiteral("127.0.0.1"), port);
    ReplyWait wait;
    const auto t0 = Clock::now();
    const bool found = findRadio(line, wait);
    const double searchMs = duration<double, std::milli>(Clock::now() - t0).count();
    // Polled either way, to see what the lamps would do on such a link.
    if (!found && line.OpenPort() != LineError::None) {
        std::printf("%-34s cannot connect\n", name);
        return;
    }
    Lamps lamps;
    int wholeMain = 0, wholeSub = 0, right = 0, wrong = 0;
    std::vector<double> times;
    auto tick = Clock::now();
    State truth = kFirst;
    for (int i = 0; i < kPolls; ++i) {
        if (i == kPolls / 2) {
            truth = kSecond;
            radio.withRadio([&](sim::VirtualRadio &r) {
                r.setMainFilterByte(truth.main);
                r.setSubFilterByte(truth.sub);
            });
        }
        times.push_back(poll(line, wait, lamps, wholeMain, wholeSub));
        right += lamps == lampsOf(truth);
        // A lit lamp that neither state of the radio has: read from a broken or shifted record.
        for (auto [got, a, b] : {std::tuple{lamps.hi, lampsOf(kFirst).hi, lampsOf(kSecond).hi},
                                 std::tuple{lamps.lo, lampsOf(kFirst).lo, lampsOf(kSecond).lo},
                                 std::tuple{lamps.sub, lampsOf(kFirst).sub, lampsOf(kSecond).sub}})
            wrong += got && got != a && got != b;
        sleepToNextTick(tick);
    }
    std::printf("%-34s search %s (%.0f ms); poll median %.0f ms, max %.0f ms; whole records main %d/%d, "
                "sub %d/%d; lamps right after %d of %d polls; wrong lamps %d\n",
                name, found ? "finds the radio" : "FAILS", searchMs, percentile(times, 0.5),
                percentile(times, 1.0), wholeMain, kPolls, wholeSub, kPolls, right, kPolls, wrong);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (sim::ser2netProgram().isEmpty()) {
        std::printf("ser2net not installed: skipped\n");
        return 0;
    }
    sim::PtyRadioServer radio;
    if (!radio.start()) {
        std::printf("no pseudo-terminal: %s\n", qPrintable(radio.errorString()));
        return 1;
    }
    const quint16 port = sim::freeLoopbackPort();
    sim::Ser2net ser2net;
    if (!ser2net.start(radio.devicePath(), port)) {
        std::printf("ser2net did not start\n");
        return 1;
    }
    std::printf("each link: the search, then %d polls at 500 ms, the radio's filters changed after the 8th\n",
                16);
    runLink("ser2net", radio, port, 5ms);
    runLink("ser2net, radio answers 50 ms late", radio, port, 50ms);
    runLink("ser2net, radio answers 150 ms late", radio, port, 150ms);
    for (int oneWay : {25, 40, 50, 150, 300}) {
        sim::DelayRelay relay(port, milliseconds(oneWay));
        runLink(qPrintable(QStringLiteral("ser2net + %1 ms each way").arg(oneWay)), radio, relay.port(), 5ms);
    }

    // The radio falls silent on a far link: how long each poll now keeps the window waiting,
    // since every wait runs to its end.
    {
        sim::DelayRelay relay(port, 150ms);
        TcpSerialLine line(QStringLiteral("127.0.0.1"), relay.port());
        ReplyWait wait;
        if (findRadio(line, wait)) {
            Lamps lamps;
            int wholeMain = 0, wholeSub = 0;
            auto tick = Clock::now();
            for (int i = 0; i < 4; ++i, sleepToNextTick(tick))
                poll(line, wait, lamps, wholeMain, wholeSub);
            radio.withRadio([](sim::VirtualRadio &r) { r.setFault(sim::RadioFault::Silent); });
            std::vector<double> times;
            for (int i = 0; i < 8; ++i, sleepToNextTick(tick))
                times.push_back(poll(line, wait, lamps, wholeMain, wholeSub));
            radio.withRadio([](sim::VirtualRadio &r) { r.setFault(sim::RadioFault::None); });
            std::printf("%-34s poll median %.0f ms, max %.0f ms (the first %.0f ms)\n",
                        "ser2net + 150 ms, radio falls silent", percentile(times, 0.5),
                        percentile(times, 1.0), times.front());
        }
    }

    // ser2net stopped for 3 s and started again, the radio's filters changed meanwhile.
    resetRadio(radio, 5ms);
    TcpSerialLine line(QStringLiteral("127.0.0.1"), port);
    ReplyWait wait;
    if (!findRadio(line, wait)) {
        std::printf("reconnect: radio not found\n");
        return 1;
    }
    Lamps lamps;
    int wholeMain = 0, wholeSub = 0;
    auto tick = Clock::now();
    poll(line, wait, lamps, wholeMain, wholeSub);
    ser2net.stop();
    radio.withRadio([](sim::VirtualRadio &r) {
        r.setMainFilterByte(kSecond.main);
        r.setSubFilterByte(kSecond.sub);
    });
    const double cpu0 = sim::threadCpuSeconds();
    const auto down = Clock::now();
    Clock::time_point lastTry{};
    while (Clock::now() - down < 3s) {
        sleepToNextTick(tick);
        retake(line, wait, lastTry);
        poll(line, wait, lamps, wholeMain, wholeSub);
    }
    const double cpuShare = (sim::threadCpuSeconds() - cpu0) / duration<double>(Clock::now() - down).count();
    ser2net.start(radio.devicePath(), port);
    const auto up = Clock::now();
    int polls = 0;
    while (lamps != lampsOf(kSecond) && Clock::now() - up < 10s) {
        sleepToNextTick(tick);
        retake(line, wait, lastTry);
        poll(line, wait, lamps, wholeMain, wholeSub);
        ++polls;
    }
    std::printf("ser2net stopped: CPU %.2f %% of a core (polling thread, 3 s); started again: ",
                100 * cpuShare);
    if (lamps == lampsOf(kSecond))
        std::printf("lamps follow after %.0f ms (%d polls at 500 ms)\n",
                    duration<double, std::milli>(Clock::now() - up).count(), polls);
    else
        std::printf("lamps did NOT follow within 10 s\n");
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the running program against the virtual radio on pseudo-terminals, through the
// real serial adapter: CPU per second of polling, poll cadence and main-to-sub gap as seen on
// the wire, click-to-lamp latency, cold start, failed searches, peak memory, CPU after the
// adapter is unplugged, replug to lamps, and lamp correctness under slow (paced) replies.
// Child modes (--child-*) are this same program started as a fresh process by the parent.
#include "benchutil.h"

#include "filters/lamps.h"
#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "sim/cputime.h"
#include "sim/ptyradioserver.h"
#include "ui/frmquillon.h"
#include "ui/platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <set>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace quillon;
using namespace quillon::bench;
using namespace std::chrono;

namespace {

qint64 nowNs() { return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count(); }

QString peakRss() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    return QStringLiteral("?");
}

std::unique_ptr<frmQuillon> makeWindow(Platform &platform, const QStringList &ports) {
    return std::make_unique<frmQuillon>(platform, std::make_unique<PosixSerialLine>(PortTable(ports)));
}

// Child: start the window against the given ports; print when it is shown (or when the search
// has failed), as a monotonic time stamp, then optionally keep polling for a while.
int child(const QString &mode, const QStringList &ports, int runSeconds) {
    const qint64 processStart = nowNs();
    int argc = 1;
    char name[] = "bench_program";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const qint64 toolkitUp = nowNs();
    BenchPlatform platform;
    auto window = makeWindow(platform, ports);
    const qint64 searchStart = nowNs();
    const bool found = window->Form_Load();
    const qint64 searchEnd = nowNs();
    if (found) {
        window->showCentred();
        if (!QTest::qWaitForWindowExposed(window.get(), 5000))
            return 3;
    }
    const qint64 shown = nowNs();
    if (runSeconds > 0) {
        QTimer::singleShot(runSeconds * 1000, &app, &QApplication::quit);
        app.exec();
    }
    std::printf("%s %lld %lld %lld %lld %lld %d %s\n", qPrintable(mode), processStart, toolkitUp, searchStart,
                searchEnd, shown, found ? 1 : 0, qPrintable(peakRss()));
    std::fflush(stdout);
    window->close();
    return 0;
}

struct ChildResult {
    qint64 spawned = 0;
    QList<QByteArray> fields;
    bool ok = false;
};

ChildResult runChild(const QString &mode, const QStringList &ports, int runSeconds = 0) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ChildResult r;
    r.spawned = nowNs();
    p.start(QCoreApplication::applicationFilePath(),
            QStringList{QStringLiteral("--child"), mode, QString::number(runSeconds)} + ports);
    if (!p.waitForFinished(60000))
        return r;
    r.fields = p.readAllStandardOutput().trimmed().split(' ');
    r.ok = r.fields.size() >= 8;
    return r;
}

double ms(qint64 ns) { return double(ns) / 1e6; }

void benchColdStart(int repeats) {
    std::vector<double> toShown, toolkit, search;
    for (int i = 0; i < repeats; ++i) {
        sim::PtyRadioServer radio;
        if (!radio.start())
            return;
        const ChildResult r = runChild(QStringLiteral("start"), {radio.devicePath()});
        if (!r.ok || r.fields[6] != "1")
            continue;
        toShown.push_back(ms(r.fields[5].toLongLong() - r.spawned));
        toolkit.push_back(ms(r.fields[2].toLongLong() - r.spawned));
        search.push_back(ms(r.fields[4].toLongLong() - r.fields[3].toLongLong()));
    }
    std::printf("cold start, radio on COM1 (%zu runs): spawn to shown window median %.0f ms (max %.0f); "
                "toolkit up %.0f ms; search %.0f ms\n",
                toShown.size(), percentile(toShown, 0.5), percentile(toShown, 1.0), percentile(toolkit, 0.5),
                percentile(search, 0.5));
}

void benchFailedSearch(const char *what, const QStringList &ports, int repeats) {
    std::vector<double> search, total;
    for (int i = 0; i < repeats; ++i) {
        const ChildResult r = runChild(QStringLiteral("fail"), ports);
        if (!r.ok || r.fields[6] != "0")
            continue;
        search.push_back(ms(r.fields[4].toLongLong() - r.fields[3].toLongLong()));
        total.push_back(ms(r.fields[4].toLongLong() - r.spawned));
        Q_UNUSED(what);
    }
    std::printf("failed search over %s (%zu runs): search median %.1f ms (max %.1f); spawn to verdict "
                "median %.0f ms\n",
                what, search.size(), percentile(search, 0.5), percentile(search, 1.0),
                percentile(total, 0.5));
}

void benchPeakMemory(int seconds) {
    sim::PtyRadioServer radio;
    if (!radio.start())
        return;
    const ChildResult r = runChild(QStringLiteral("run"), {radio.devicePath()}, seconds);
    if (r.ok)
        std::printf("peak resident memory after %d s of polling (platform %s): %s %s\n", seconds,
                    qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("default"))),
                    r.fields[7].constData(), r.fields.size() > 8 ? r.fields[8].constData() : "");
}

void benchPolling(int seconds, int clicks) {
    sim::PtyRadioServer radio;
    if (!radio.start()) {
        std::printf("polling: no pseudo-terminal (%s)\n", qPrintable(radio.errorString()));
        return;
    }
    radio.withRadio([](sim::VirtualRadio &r) {
        r.setMainFilterByte(0x00);
        r.setSubFilterByte(0x00);
    });
    BenchPlatform platform;
    auto window = makeWindow(platform, {radio.devicePath()});
    if (!window->Form_Load()) {
        std::printf("polling: radio not found\n");
        return;
    }
    window->showCentred();
    if (!QTest::qWaitForWindowExposed(window.get(), 5000))
        std::printf("polling: window not exposed\n");

    // Polling alone.
    const double cpu0 = sim::programCpuSeconds();
    const double proc0 = sim::processCpuSeconds();
    const qint64 t0 = nowNs();
    QTest::qWait(seconds * 1000);
    const double wall = double(nowNs() - t0) / 1e9;
    const double cpu = sim::programCpuSeconds() - cpu0;
    const double proc = sim::processCpuSeconds() - proc0;

    std::vector<double> intervals, gaps;
    steady_clock::time_point lastMain{};
    for (const auto &b : radio.receivedBlocks()) {
        if (b.block == CommandBlock{0, 0, 0, 2, 0x10}) {
            if (lastMain != steady_clock::time_point{})
                intervals.push_back(duration<double, std::milli>(b.when - lastMain).count());
            lastMain = b.when;
        } else if (b.block == CommandBlock{0, 0, 0, 3, 0x10} && lastMain != steady_clock::time_point{}) {
            gaps.push_back(duration<double, std::milli>(b.when - lastMain).count());
        }
    }
    std::printf("polling %.1f s: program threads (window and radio line) CPU %.2f%% of a core (whole process "
                "incl. the virtual radio "
                "%.2f%%)\n",
                wall, 100.0 * cpu / wall, 100.0 * proc / wall);
    std::printf("poll cadence on the wire (%zu intervals): median %.2f ms, p1 %.2f, p99 %.2f; main->sub gap "
                "median %.2f ms (p99 %.2f)\n",
                intervals.size(), percentile(intervals, 0.5), percentile(intervals, 0.01),
                percentile(intervals, 0.99), percentile(gaps, 0.5), percentile(gaps, 0.99));

    // Click to lamp: a click on a dark lamp until it shows lit, alternating two filters, each
    // click between polls, while the line is free (a click during a poll waits for the exchange on
    // the wire, at most one status record).
    std::vector<double> latencies;
    int missed = 0;
    const FilterId pair[] = {FilterId::Lo_500, FilterId::Lo_2400};
    for (int i = 0; i < clicks; ++i) {
        // Every other poll, so that the click's own exchanges do not push the polls back to back.
        QSignalSpy polled(window.get(), &frmQuillon::pollCompleted);
        polled.wait(1000);
        polled.wait(1000);
        QTest::qWait(20);
        QPushButton *button = window->button(pair[i % 2]);
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(button, Qt::LeftButton);
        while (button->palette().color(QPalette::Button) != frmQuillon::LitColour() && t.elapsed() < 2000)
            QTest::qWait(1);
        if (button->palette().color(QPalette::Button) == frmQuillon::LitColour())
            latencies.push_back(double(t.nsecsElapsed()) / 1e6);
        else
            ++missed;
    }
    std::printf("click to lamp (%zu clicks, %d missed): median %.1f ms, max %.1f ms\n", latencies.size(),
                missed, percentile(latencies, 0.5), percentile(latencies, 1.0));
    window->close();
}

std::set<FilterId> litOn(const frmQuillon &window) {
    std::set<FilterId> lit;
    for (const FilterButtonInfo &info : filterButtons())
        if (window.button(info.id)->palette().color(QPalette::Button) == frmQuillon::LitColour())
            lit.insert(info.id);
    return lit;
}

std::set<FilterId> truthOf(quint8 main, quint8 sub) {
    std::set<FilterId> lamps;
    const MainLamps m = decodeMainFilterByte(main);
    if (m.hi)
        lamps.insert(*m.hi);
    if (m.lo)
        lamps.insert(*m.lo);
    if (const SubLamps l = decodeSubFilterByte(sub); l.lit)
        lamps.insert(*l.lit);
    return lamps;
}

// The adapter is pulled (the pseudo-terminal's far side closes) while the window polls, then
// plugged back in at the same path.
void benchUnplug(int seconds) {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyUSB-radio"));
    auto radio = std::make_unique<sim::PtyRadioServer>();
    if (!dir.isValid() || !radio->start() || !QFile::link(radio->devicePath(), link)) {
        std::printf("unplug: no pseudo-terminal\n");
        return;
    }
    BenchPlatform platform;
    auto window = makeWindow(platform, {link});
    if (!window->Form_Load()) {
        std::printf("unplug: radio not found\n");
        return;
    }
    window->showCentred();
    QTest::qWait(1000);
    radio->unplug();
    QTest::qWait(1000);
    const double cpu0 = sim::programCpuSeconds();
    const qint64 t0 = nowNs();
    QTest::qWait(seconds * 1000);
    const double wall = double(nowNs() - t0) / 1e9;
    const double cpu = sim::programCpuSeconds() - cpu0;
    std::printf("unplugged, %.1f s of polling: program threads CPU %.2f%% of a core (goal <= 0.5%%)\n", wall,
                100.0 * cpu / wall);

    auto back = std::make_unique<sim::PtyRadioServer>();
    if (!back->start())
        return;
    back->withRadio([](sim::VirtualRadio &r) {
        r.setMainFilterByte(0x94);
        r.setSubFilterByte(0x33);
    });
    const QString next = link + QStringLiteral(".new");
    QFile::link(back->devicePath(), next);
    QElapsedTimer t;
    t.start();
    ::rename(QFile::encodeName(next).constData(), QFile::encodeName(link).constData());
    while (litOn(*window) != truthOf(0x94, 0x33) && t.elapsed() < 5000)
        QTest::qWait(1);
    std::printf("plugged back in: lamps follow the radio after %lld ms (two polls: 1000 ms)\n",
                static_cast<long long>(t.elapsed()));
    window->close();

    // What one look for a missing device costs a poll.
    PosixSerialLine line(PortTable({link}));
    line.Configure(1);
    line.OpenPort();
    back->unplug();
    line.ReadAll();
    std::vector<double> looks;
    for (int i = 0; i < 6; ++i) {
        QTest::qWait(int(PosixSerialLine::kLookInterval.count()) + 10);
        const qint64 l0 = nowNs();
        line.reopen();
        looks.push_back(double(nowNs() - l0) / 1e3);
    }
    std::printf("a look for the missing device (%zu looks): median %.1f us, max %.1f us\n", looks.size(),
                percentile(looks, 0.5), percentile(looks, 1.0));
    line.ClosePort();
}

// Polls against a radio that paces its replies (and an adapter that hands input over in
// chunks); the knobs move every poll. Counts the polls after which the lamps show the state
// the radio had during that poll, and lamps lit that the radio never reported.
void benchPacing(int pacingMs, int chunkMs, int polls) {
    sim::PtyRadioServer radio;
    if (!radio.start()) {
        std::printf("pacing: no pseudo-terminal\n");
        return;
    }
    const quint8 mains[] = {0x11, 0x22, 0x33, 0x44, 0x94, 0x00};
    const quint8 subs[] = {0x11, 0x33, 0x00};
    radio.setChunkPeriod(milliseconds(chunkMs));
    radio.withRadio([&](sim::VirtualRadio &r) {
        r.setPacing(milliseconds(pacingMs));
        r.setMainFilterByte(mains[0]);
        r.setSubFilterByte(subs[0]);
    });
    BenchPlatform platform;
    auto window = makeWindow(platform, {radio.devicePath()});
    if (!window->Form_Load()) {
        std::printf("pacing %d ms: radio not found\n", pacingMs);
        return;
    }
    int done = 0, right = 0, wrong = 0;
    std::vector<double> pollMs;
    QElapsedTimer poll;
    QObject context;
    QElapsedTimer since;
    QObject::connect(window.get(), &frmQuillon::pollCompleted, &context, [&] {
        if (pollMs.empty())
            pollMs.push_back(double(poll.nsecsElapsed()) / 1e6);
        const std::set<FilterId> lit = litOn(*window);
        const std::set<FilterId> now = truthOf(mains[done % 6], subs[done % 3]);
        std::set<FilterId> any;
        for (int i = 0; i < 6; ++i)
            for (FilterId id : truthOf(mains[i], subs[i % 3]))
                any.insert(id);
        right += lit == now;
        for (FilterId id : lit)
            wrong += !any.count(id);
        ++done;
        radio.withRadio([&](sim::VirtualRadio &r) {
            r.setMainFilterByte(mains[done % 6]);
            r.setSubFilterByte(subs[done % 3]);
        });
    });
    poll.start();
    window->Timer1_Timer(); // the first poll shows the state set before it
    while (done < polls)
        QTest::qWait(50);
    std::printf("pacing %2d ms%s: lamps right after %d of %d polls, %d lamps lit the radio never reported; "
                "one poll takes %.0f ms\n",
                pacingMs, chunkMs ? qPrintable(QStringLiteral(", %1 ms chunks").arg(chunkMs)) : "", right,
                done, wrong, pollMs.front());
    window->close();
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc >= 4 && QByteArray(argv[1]) == "--child") {
        QStringList ports;
        for (int i = 4; i < argc; ++i)
            ports << QString::fromLocal8Bit(argv[i]);
        return child(QString::fromLocal8Bit(argv[2]), ports, QByteArray(argv[3]).toInt());
    }
    QApplication app(argc, argv);
    const int seconds = qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS")
                            : 20;
    benchPolling(seconds, 20);
    benchColdStart(5);

    // Sixteen ports that open but never answer.
    std::vector<std::unique_ptr<sim::PtyRadioServer>> mute;
    QStringList mutePaths;
    for (int i = 0; i < 16; ++i) {
        auto s = std::make_unique<sim::PtyRadioServer>();
        if (!s->start())
            break;
        s->withRadio([](sim::VirtualRadio &r) { r.setFault(sim::RadioFault::Silent); });
        mutePaths << s->devicePath();
        mute.push_back(std::move(s));
    }
    benchFailedSearch("16 ports that open but never answer", mutePaths, 3);
    mute.clear();
    benchFailedSearch("16 missing ports", {}, 5);
    benchPeakMemory(5);
    benchUnplug(5);
    for (int pacing : {0, 3, 5, 8, 12})
        benchPacing(pacing, 0, 8);
    benchPacing(0, 16, 8);
    benchPacing(12, 16, 8);
    return 0;
}

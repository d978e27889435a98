// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for a window that never waits for the radio: the real window polls the virtual radio on
// a pseudo-terminal (or through a real ser2net) through the real adapter while sharing clients
// (threads of their own, plain sockets, as Hamlib's are) read flat out, and the operator clicks a
// filter at random moments. For each state of the radio:
// - click -> its FilterSelect's last byte on the radio's wire;
// - the worst lateness of a 10 ms timer on the window's thread (how long the event loop was held);
// - how long closing the window took.
#include "benchutil.h"

#include "filters/filtertable.h"
#include "radio/commandblock.h"
#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "radio/tcpserialline.h"
#include "share/radioshare.h"
#include "sim/networkpeers.h"
#include "sim/ptyradioserver.h"
#include "ui/frmquillon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

using namespace quillon;
using namespace quillon::bench;
using namespace std::chrono;

namespace {

const QByteArray kRecords = QByteArray::fromHex("0000000310");

// A client reading both VFO records back to back, with Hamlib's 400 ms read timeout.
void readFlatOut(quint16 port, const std::atomic<bool> &stop) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{0, 400000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[64];
    while (!stop) {
        if (::send(fd, kRecords.constData(), 5, MSG_NOSIGNAL) != 5)
            break;
        int got = 0;
        while (got < 32 && !stop) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got += int(n);
        }
    }
    ::close(fd);
}

// The search as --port HOST:PORT makes it: the one port, named as the user wrote it.
SearchPlan onlyPort(const QString &where) {
    SearchPlan plan;
    plan.first = plan.last = 1;
    plan.chosen = where;
    return plan;
}

enum class State { Quiet, EightClients, Silent, Unplugged, Ser2netStopped };

struct Figures {
    std::vector<double> clickToWire;
    double worstLateMs = 0;
    double closeMs = 0;
    int clicks = 0;
};

void print(const char *what, const Figures &f) {
    std::printf("  %-34s clicks %2d  click->FilterSelect on the wire median %6.1f max %6.1f ms (n=%zu)  "
                "event loop held up to %5.1f ms  close %5.1f ms\n",
                what, f.clicks, percentile(f.clickToWire, 0.5),
                f.clickToWire.empty() ? 0.0 : *std::max_element(f.clickToWire.begin(), f.clickToWire.end()),
                f.clickToWire.size(), f.worstLateMs, f.closeMs);
    std::fflush(stdout);
}

// Runs the window in one state for `seconds`, clicking at random moments 0.3 to 1.5 s apart.
Figures run(State state, int seconds) {
    Figures f;
    sim::PtyRadioServer radio;
    if (!radio.start())
        return f;
    radio.withRadio([](sim::VirtualRadio &r) {
        r.setMainFilterByte(0x22);
        r.setSubFilterByte(0x33);
    });
    sim::Ser2net ser2net;
    const bool viaSer2net = state == State::Ser2netStopped;
    const quint16 ser2netPort = sim::freeLoopbackPort();
    if (viaSer2net && !ser2net.start(radio.devicePath(), ser2netPort))
        return f;
    BenchPlatform platform;
    std::unique_ptr<SerialLine> line;
    if (viaSer2net)
        line = std::make_unique<TcpSerialLine>(QStringLiteral("127.0.0.1"), ser2netPort);
    else
        line = std::make_unique<PosixSerialLine>(PortTable(QStringList{radio.devicePath()}));
    auto window = std::make_unique<frmQuillon>(platform, std::move(line));
    if (viaSer2net)
        window->setSearchPlan(onlyPort(QStringLiteral("127.0.0.1:%1").arg(ser2netPort)));
    if (!window->Form_Load())
        return f;
    auto share = std::make_unique<RadioShare>(window->lineOwner());
    QString error;
    if (!share->start(0, false, {}, &error))
        return f;
    window->setShare(share.get());
    window->show();
    runEventLoop(1000);

    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    const int clientCount = state == State::EightClients ? 8 : state == State::Quiet ? 0 : 2;
    for (int i = 0; i < clientCount; ++i)
        clients.emplace_back(readFlatOut, share->port(), std::cref(stop));
    switch (state) {
    case State::Silent:
        radio.withRadio([](sim::VirtualRadio &r) { r.setFault(sim::RadioFault::Silent); });
        break;
    case State::Unplugged:
        radio.unplug();
        break;
    case State::Ser2netStopped:
        ser2net.stop();
        break;
    default:
        break;
    }
    runEventLoop(500);

    // The event loop's lateness: a 10 ms timer that notes how late each tick came.
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        f.worstLateMs = std::max(f.worstLateMs, sinceTick.nsecsElapsed() / 1e6 - 10.0);
        sinceTick.restart();
    });
    probe.start(10);

    std::vector<steady_clock::time_point> clickedAt;
    std::mt19937 rng(11);
    QElapsedTimer wall;
    wall.start();
    size_t k = 0;
    while (wall.elapsed() < seconds * 1000) {
        runEventLoop(300 + int(rng() % 1200));
        const FilterButtonInfo &b = filterButtons()[k++ % filterButtons().size()];
        clickedAt.push_back(steady_clock::now());
        // A real click's handler, as a mouse click reaches it.
        QMetaObject::invokeMethod(window->button(b.id), &QAbstractButton::click, Qt::DirectConnection);
    }
    runEventLoop(1500);
    probe.stop();
    f.clicks = int(clickedAt.size());
    // The window sends no FilterSelect but for the clicks, one for each, in order.
    std::vector<steady_clock::time_point> selects;
    for (const auto &b : radio.receivedBlocks())
        if (b.block[4] == kOpFilterSelect)
            selects.push_back(b.when);
    if (selects.size() == clickedAt.size())
        for (size_t i = 0; i < selects.size(); ++i)
            f.clickToWire.push_back(duration<double, std::milli>(selects[i] - clickedAt[i]).count());
    QElapsedTimer closing;
    closing.start();
    window->close();
    f.closeMs = closing.nsecsElapsed() / 1e6;
    stop = true;
    for (auto &t : clients)
        t.join();
    share.reset();
    window.reset();
    return f;
}

// The search behind a slow link (ser2net behind 150 ms each way): how long the event loop is held.
void searchBehindSlowLink() {
    sim::PtyRadioServer radio;
    sim::Ser2net ser2net;
    const quint16 port = sim::freeLoopbackPort();
    if (!radio.start() || !ser2net.start(radio.devicePath(), port))
        return;
    sim::DelayRelay relay(port, 150ms);
    BenchPlatform platform;
    frmQuillon window(platform, std::make_unique<TcpSerialLine>(QStringLiteral("127.0.0.1"), relay.port()));
    window.setSearchPlan(onlyPort(QStringLiteral("127.0.0.1:%1").arg(relay.port())));
    double worst = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worst = std::max(worst, sinceTick.nsecsElapsed() / 1e6 - 10.0);
        sinceTick.restart();
    });
    probe.start(10);
    QElapsedTimer t;
    t.start();
    const bool found = window.Form_Load();
    std::printf("  %-34s found %s in %lld ms, event loop held up to %5.1f ms\n",
                "search, ser2net behind 150 ms", found ? "yes" : "no", t.elapsed(), worst);
    window.close();
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("quillon.share.info=false"));
    const int seconds = qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS")
                            : 15;
    std::printf("the window while the radio is shared, clicks at random moments %d s each:\n", seconds);
    print("no clients", run(State::Quiet, seconds));
    print("8 clients reading flat out", run(State::EightClients, seconds));
    print("2 clients, the radio silent", run(State::Silent, seconds));
    print("2 clients, the adapter unplugged", run(State::Unplugged, seconds));
    print("2 clients, ser2net stopped", run(State::Ser2netStopped, seconds));
    searchBehindSlowLink();
    return 0;
}

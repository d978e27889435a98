// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for sharing the radio: the window polls the virtual radio on a pseudo-terminal through
// the real adapter while clients on TCP (threads of their own, plain sockets) use the share.
// - client latency: a client's block in -> on the radio's wire, and -> the reply's first byte;
// - the longest gap between the window's polls while two clients ask as fast as they can;
// - the window thread's CPU while two clients ask once a second;
// - a client flooding blocks: Quillon's memory, the window's polls and another client's reads;
// - the door: finding a connection's owner (off the window's thread, once per connection), and a
//   client's reads while another floods it with blocks the radio does not know.
#include "benchutil.h"

#include "filters/lamps.h"
#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "share/peerowner.h"
#include "share/radioshare.h"
#include "share/replystore.h"
#include "sim/cputime.h"
#include "sim/ptyradioserver.h"
#include "ui/frmquillon.h"
#include "ui/platform.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::bench;
using namespace std::chrono;

namespace {

void printSpread(const char *what, const std::vector<double> &ms) {
    std::printf("  %-40s median %6.1f ms  p99 %6.1f ms  max %6.1f ms  (n=%zu)\n", what, percentile(ms, 0.5),
                percentile(ms, 0.99), ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), ms.size());
    std::fflush(stdout);
}

// A client as Hamlib is one: a blocking socket, one request, then its whole reply.
class Client {
public:
    explicit Client(quint16 port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{0, 400000}; // Hamlib's read timeout for this radio
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // Sends the block; returns when it was sent, when the first reply byte came and whether the
    // whole reply came.
    struct Times {
        steady_clock::time_point sent, first;
        bool whole = false;
    };
    // Sends the block and reads its reply (up to Hamlib's timeout); false when the send failed.
    bool askFor(const QByteArray &block, int replyLength, QByteArray *reply) {
        if (::send(m_fd, block.constData(), size_t(block.size()), 0) != block.size())
            return false;
        char buf[64];
        while (reply->size() < replyLength) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            reply->append(buf, int(n));
        }
        return true;
    }
    Times ask(const QByteArray &block, int replyLength) {
        Times t;
        t.sent = steady_clock::now();
        if (::send(m_fd, block.constData(), size_t(block.size()), 0) != block.size())
            return t;
        int got = 0;
        char buf[64];
        while (got < replyLength) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return t;
            if (got == 0)
                t.first = steady_clock::now();
            got += int(n);
        }
        t.whole = got == replyLength;
        return t;
    }

private:
    int m_fd = -1;
};

struct Station {
    sim::PtyRadioServer radio;
    BenchPlatform platform;
    std::unique_ptr<frmQuillon> window;
    std::unique_ptr<RadioShare> share;

    bool start() {
        if (!radio.start())
            return false;
        radio.withRadio([](sim::VirtualRadio &r) {
            r.setMainFilterByte(0x22);
            r.setSubFilterByte(0x33);
        });
        window = std::make_unique<frmQuillon>(
            platform, std::make_unique<PosixSerialLine>(PortTable(QStringList{radio.devicePath()})));
        if (!window->Form_Load())
            return false;
        share = std::make_unique<RadioShare>(window->lineOwner());
        QString error;
        if (!share->start(0, false, {}, &error))
            return false;
        window->setShare(share.get());
        window->show();
        return true;
    }
};

const QByteArray kFlags = QByteArray::fromHex("00000000fa");
const QByteArray kRecords = QByteArray::fromHex("0000000310");

// One client asks 600 times, at random moments against the window's polls, while the operator
// clicks a filter every second.
void benchLatency() {
    Station s;
    if (!s.start()) {
        std::printf("  (no station)\n");
        return;
    }
    std::vector<Client::Times> times;
    std::atomic<bool> done{false};
    std::thread client([&] {
        Client c(s.share->port());
        std::mt19937 rng(7);
        for (int i = 0; i < 600 && c.ok(); ++i) {
            std::this_thread::sleep_for(milliseconds(rng() % 100));
            times.push_back(c.ask(kFlags, 5));
        }
        done = true;
    });
    QTimer clicks;
    int k = 0;
    QObject::connect(&clicks, &QTimer::timeout, [&] {
        const auto &b = filterButtons()[size_t(k++) % filterButtons().size()];
        QTest::mouseClick(s.window->button(b.id), Qt::LeftButton);
    });
    clicks.start(1000);
    while (!done)
        runEventLoop(20);
    client.join();
    // The radio stamps each block when its last byte arrived; the client's blocks are the
    // flags reads (the window sends none after its search).
    std::vector<steady_clock::time_point> onWire;
    for (const auto &b : s.radio.receivedBlocks())
        if (toBytes(b.block) == kFlags)
            onWire.push_back(b.when);
    // The first flags block is the window's own probe.
    if (!onWire.empty())
        onWire.erase(onWire.begin());
    // Most reads are answered from the store; a block on the wire is the client's last read sent
    // before it (the client asks one at a time).
    std::vector<double> toWire, toReply;
    for (const auto when : onWire) {
        const auto after = std::upper_bound(times.begin(), times.end(), when,
                                            [](auto w, const Client::Times &t) { return w < t.sent; });
        if (after != times.begin())
            toWire.push_back(duration<double, std::milli>(when - std::prev(after)->sent).count());
    }
    int lost = 0;
    for (const Client::Times &t : times) {
        if (t.whole)
            toReply.push_back(duration<double, std::milli>(t.first - t.sent).count());
        else
            ++lost;
    }
    std::printf("one client, 600 flag reads at random moments, the window polling and a click a second:\n");
    std::printf("  %zu of %zu went to the radio, the rest were answered from fresh replies\n", toWire.size(),
                times.size());
    printSpread("block in -> last byte on the wire", toWire);
    printSpread("block in -> first reply byte", toReply);
    std::printf("  replies lost: %d\n", lost);
}

// Two clients ask for both VFO records back to back (as a busy logger and WSJT-X do) for 20 s.
void benchBusyClients(int seconds) {
    Station s;
    if (!s.start())
        return;
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0}, lost{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
        clients.emplace_back([&] {
            Client c(s.share->port());
            while (!stop && c.ok()) {
                const bool whole = c.ask(kRecords, 32).whole;
                // The last request may meet a window that has stopped serving for the join.
                if (!stop)
                    (whole ? answers : lost)++;
            }
        });
    std::vector<double> gaps;
    steady_clock::time_point last{};
    int wrong = 0;
    QObject::connect(s.window->timer(), &QTimer::timeout, s.window.get(), [&] {
        const auto now = steady_clock::now();
        if (last != steady_clock::time_point{})
            gaps.push_back(duration<double, std::milli>(now - last).count());
        last = now;
    });
    // Once a poll's replies are painted, Hi 2000, Lo 2000 and Sub 500 must be lit.
    int polls = 0;
    QObject::connect(s.window.get(), &frmQuillon::pollCompleted, s.window.get(), [&] {
        ++polls;
        for (FilterId id : {FilterId::Hi_2000, FilterId::Lo_2000, FilterId::Sub500})
            if (s.window->button(id)->palette().color(QPalette::Button) != QColor(0, 255, 0)) {
                ++wrong;
                break;
            }
    });
    runEventLoop(seconds * 1000);
    stop = true;
    for (auto &t : clients)
        t.join();
    std::printf("two clients reading both records back to back for %d s:\n", seconds);
    std::printf("  client answers %d (%.1f/s), lost %d; window polls %d, lamps wrong after %d of them\n",
                answers.load(), answers.load() / double(seconds), lost.load(), polls, wrong);
    printSpread("gap between the window's polls", gaps);
}

// Two clients ask once a second: what sharing costs the window's thread.
void benchCpu(int seconds) {
    Station s;
    if (!s.start())
        return;
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
        clients.emplace_back([&] {
            Client c(s.share->port());
            while (!stop && c.ok()) {
                c.ask(kRecords, 32);
                std::this_thread::sleep_for(1s);
            }
        });
    runEventLoop(1000);
    const double cpu0 = sim::programCpuSeconds();
    QElapsedTimer t;
    t.start();
    runEventLoop(seconds * 1000);
    const double cpu = sim::programCpuSeconds() - cpu0;
    stop = true;
    for (auto &c : clients)
        c.join();
    std::printf(
        "two clients reading once a second, %d s: window and radio line threads CPU %.2f %% of one core\n",
        seconds, 100.0 * cpu / (double(t.elapsed()) / 1000.0));
}

// N clients each read both VFO records back to back (as WSJT-X, fldigi and a logger poll), the
// window polls, the operator clicks a filter each second and the VFO A knob turns each second.
// What the wire carries, how long each read takes, and whether any answer showed the radio older
// than the store's age limit allows.
void benchStore(int clientCount, int seconds) {
    Station s;
    if (!s.start())
        return;
    struct Answer {
        steady_clock::time_point sent, got;
        quint32 steps = 0;
        bool whole = false;
    };
    std::mutex mutex;
    std::vector<Answer> answers;
    std::vector<std::pair<steady_clock::time_point, quint32>> knob; // when, frequency steps
    const auto stepsOf = [](quint32 hz) { return quint32((quint64(hz) * 16 + 5) / 10); };
    knob.push_back({steady_clock::now(), stepsOf(14250000)});
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < clientCount; ++i)
        clients.emplace_back([&] {
            Client c(s.share->port());
            while (!stop && c.ok()) {
                Answer a;
                a.sent = steady_clock::now();
                QByteArray reply;
                if (!c.askFor(kRecords, 32, &reply))
                    continue;
                a.got = steady_clock::now();
                a.whole = reply.size() == 32;
                if (a.whole)
                    a.steps = (quint32(quint8(reply[1])) << 24) | (quint32(quint8(reply[2])) << 16) |
                              (quint32(quint8(reply[3])) << 8) | quint32(quint8(reply[4]));
                std::lock_guard lock(mutex);
                answers.push_back(a);
            }
        });
    QTimer each;
    int k = 0;
    QObject::connect(&each, &QTimer::timeout, [&] {
        const auto &b = filterButtons()[size_t(k) % filterButtons().size()];
        QTest::mouseClick(s.window->button(b.id), Qt::LeftButton);
        const quint32 hz = 14000000 + 1000 * quint32(++k);
        s.radio.withRadio([&](sim::VirtualRadio &r) { r.setMainFrequency(hz); });
        std::lock_guard lock(mutex);
        knob.push_back({steady_clock::now(), stepsOf(hz)});
    });
    runEventLoop(1000);
    const auto start = steady_clock::now();
    each.start(1000);
    runEventLoop(seconds * 1000);
    const auto end = steady_clock::now();
    stop = true;
    for (auto &t : clients)
        t.join();
    each.stop();

    // Air time: each block's five bytes, the radio's few milliseconds before it answers, and the
    // reply's bytes, at 2.29 ms a byte.
    double busyMs = 0;
    for (const auto &b : s.radio.receivedBlocks()) {
        if (b.when < start || b.when > end)
            continue;
        const int reply = b.block[4] == 0x10 ? (b.block[3] == 3 ? 32 : 16) : b.block[4] == 0xFA ? 5 : 0;
        busyMs += 2.292 * (5 + reply) + (reply ? 5.0 : 0.0);
    }
    std::vector<double> ms;
    int stale = 0, fast = 0, counted = 0, lost = 0;
    for (const Answer &a : answers) {
        // The last reads may meet the clients' own stop.
        if (a.sent < start || a.sent > end - 500ms)
            continue;
        if (!a.whole) {
            ++lost;
            continue;
        }
        ++counted;
        const double took = duration<double, std::milli>(a.got - a.sent).count();
        ms.push_back(took);
        fast += took <= 10;
        // Right when it shows a state the radio had within the age limit (and the reply's own
        // 80 ms on the wire) before the answer came.
        bool right = false;
        for (size_t i = 0; i < knob.size(); ++i) {
            const auto from = knob[i].first;
            const auto until = i + 1 < knob.size() ? knob[i + 1].first : steady_clock::time_point::max();
            if (knob[i].second == a.steps && from <= a.got && until >= a.got - ReplyStore::kMaxAge - 100ms)
                right = true;
        }
        stale += !right;
    }
    const double span = duration<double, std::milli>(end - start).count();
    std::printf("  %d client%s: wire busy %4.1f %%, %5.1f reads/s, read median %5.1f p99 %6.1f max %6.1f ms, "
                "%3.0f %% within 10 ms, older than allowed %d, lost %d; %d answered as they came\n",
                clientCount, clientCount == 1 ? " " : "s", 100.0 * busyMs / span, counted / (span / 1000.0),
                percentile(ms, 0.5), percentile(ms, 0.99),
                ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()),
                counted ? 100.0 * fast / counted : 0.0, stale, lost, s.share->answeredAtOnce());
    std::fflush(stdout);
}

// The owner of a loopback connection, as the share looks it up when a program connects.
void benchOwnerLookup() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    std::vector<double> ms;
    int named = 0;
    for (int i = 0; i < 50; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!client.waitForConnected(2000) || !server.waitForNewConnection(2000))
            break;
        std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
        const auto start = steady_clock::now();
        const PeerOwner owner = loopbackPeerOwner(accepted->peerAddress(), accepted->peerPort(),
                                                  accepted->localAddress(), accepted->localPort());
        ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        named += owner.pid == QCoreApplication::applicationPid();
    }
    const auto processes =
        QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[1-9]*")}, QDir::Dirs).size();
    std::printf("a connection's owner, from the socket tables and /proc/<pid>/fd (%lld processes running):\n",
                qlonglong(processes));
    printSpread("lookup (on a thread of its own)", ms);
    std::printf("  program and pid found for %d of %zu\n", named, ms.size());
}

// One client reads the flags while another sends blocks the radio does not know, as fast as it can.
void benchJunkFlood() {
    Station s;
    if (!s.start())
        return;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        Client junk(s.share->port());
        junk.ask(kFlags, 5); // a radio command first, or the door sends it away at once
        const QByteArray blocks = QByteArray::fromHex("8182838499").repeated(64);
        while (!stop && junk.ok()) {
            if (::send(junk.fd(), blocks.constData(), size_t(blocks.size()), MSG_NOSIGNAL) != blocks.size())
                break;
            std::this_thread::sleep_for(5ms);
        }
    });
    std::vector<Client::Times> times;
    std::thread reader([&] {
        Client c(s.share->port());
        std::mt19937 rng(11);
        for (int i = 0; i < 200 && c.ok(); ++i) {
            std::this_thread::sleep_for(milliseconds(rng() % 100));
            times.push_back(c.ask(kFlags, 5));
        }
        stop = true;
    });
    while (!stop)
        runEventLoop(20);
    reader.join();
    flood.join();
    std::vector<double> toReply;
    int lost = 0;
    for (const auto &t : times) {
        if (t.whole)
            toReply.push_back(duration<double, std::milli>(t.first - t.sent).count());
        else
            ++lost;
    }
    int junkOnWire = 0;
    for (const auto &b : s.radio.receivedBlocks())
        junkOnWire += b.block[4] == 0x99;
    std::printf("one client, 200 flag reads while another floods unknown blocks (12.8 kB/s), the window "
                "polling:\n");
    printSpread("block in -> first reply byte", toReply);
    std::printf("  replies lost: %d; junk blocks on the wire: %d\n", lost, junkOnWire);
}

// Quillon's resident memory, from /proc/self/statm.
double residentMiB() {
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One client floods 256 MiB of one block as fast as the share takes it (for at most `seconds`),
// while another reads the flags every 100 ms and the window polls. Quillon's memory, the
// window's cadence and thread, and the other client's reads, against their bounds.
void benchFlood(const char *what, const QByteArray &block, int seconds) {
    Station s;
    if (!s.start())
        return;
    runEventLoop(2000);
    const double idle = residentMiB();
    double peak = idle;
    std::atomic<bool> stop{false};
    std::atomic<qint64> sent{0};
    constexpr qint64 kFlood = qint64(256) << 20;
    std::thread flood([&] {
        Client c(s.share->port());
        const QByteArray chunk = block.repeated(65535 / 5 + 1).left(65535 / 5 * 5);
        ::fcntl(c.fd(), F_SETFL, ::fcntl(c.fd(), F_GETFL) | O_NONBLOCK);
        char sink[4096];
        qint64 offset = 0; // into chunk: blocks stay whole however the system cuts the writes
        while (!stop && sent < kFlood) {
            pollfd p{c.fd(), POLLIN | POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (p.revents & POLLIN)
                while (::recv(c.fd(), sink, sizeof sink, 0) > 0) {
                }
            if (p.revents & POLLOUT) {
                const ssize_t n =
                    ::send(c.fd(), chunk.constData() + offset, size_t(chunk.size() - offset), MSG_NOSIGNAL);
                if (n > 0) {
                    sent += n;
                    offset = (offset + n) % chunk.size();
                }
            }
        }
    });
    std::vector<Client::Times> reads;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        Client c(s.share->port());
        while (!stop && c.ok()) {
            reads.push_back(c.ask(kFlags, 5));
            std::this_thread::sleep_for(100ms);
        }
        readerDone = true;
    });
    std::vector<double> gaps;
    steady_clock::time_point lastPoll{};
    QObject::connect(s.window->timer(), &QTimer::timeout, s.window.get(), [&] {
        const auto now = steady_clock::now();
        if (lastPoll != steady_clock::time_point{})
            gaps.push_back(duration<double, std::milli>(now - lastPoll).count());
        lastPoll = now;
    });
    // A 5 ms timer on the window's thread: how late it fires is how long the thread was held.
    double held = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        held = std::max(held, double(sinceTick.nsecsElapsed()) / 1e6 - 5.0);
        sinceTick.restart();
        static int k = 0;
        if (++k % 20 == 0)
            peak = std::max(peak, residentMiB());
    });
    probe.start(5);
    QElapsedTimer t;
    t.start();
    while (sent < kFlood && t.elapsed() < seconds * 1000)
        runEventLoop(100);
    peak = std::max(peak, residentMiB());
    probe.stop();
    stop = true;
    // The read in flight is still answered: the window serves until the reader is done (a read
    // left unanswered while the threads are joined is no read the share lost).
    while (!readerDone)
        runEventLoop(20);
    flood.join();
    reader.join();
    std::vector<double> readMs;
    int lost = 0;
    for (const Client::Times &r : reads) {
        if (r.whole)
            readMs.push_back(duration<double, std::milli>(r.first - r.sent).count());
        else
            ++lost;
    }
    const double gapMin = gaps.empty() ? 0 : *std::min_element(gaps.begin(), gaps.end());
    const double gapMax = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    const double readMax = readMs.empty() ? 0 : *std::max_element(readMs.begin(), readMs.end());
    const auto verdict = [](bool ok) { return ok ? "ok" : "MISSED"; };
    std::printf(
        "a client flooding %s (%s) for %.1f s: sent %.1f MiB of 256, Quillon took in %.2f MiB in all\n", what,
        qPrintable(QString::fromLatin1(block.toHex(' '))), t.elapsed() / 1000.0, double(sent) / (1 << 20),
        double(s.share->inputTaken()) / (1 << 20));
    std::printf("  resident memory %.1f MiB idle, at most %.2f MiB above (bound 4 MiB: %s); one client's "
                "input held at most %lld bytes\n",
                idle, peak - idle, verdict(peak - idle <= 4.0), qlonglong(s.share->mostInputHeld()));
    std::printf("  window's polls every %.0f to %.0f ms (bound 500 +- 20: %s), %zu polls; its thread held at "
                "most %.1f ms (bound 20: %s)\n",
                gapMin, gapMax, verdict(!gaps.empty() && gapMin >= 480 && gapMax <= 520), gaps.size() + 1,
                held, verdict(held <= 20));
    std::printf("  another client's flag reads: %zu, median %.1f ms, max %.1f ms, lost %d (bound: every read "
                "within 150 ms: %s)\n",
                reads.size(), percentile(readMs, 0.5), readMax, lost,
                verdict(lost == 0 && !readMs.empty() && readMax <= 150));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("quillon.share.info=false"));
    const int seconds = qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("QUILLON_BENCH_SECONDS")
                            : 20;
    benchFlood("set blocks", QByteArray::fromHex("0000000005"), seconds);
    benchFlood("reads", QByteArray::fromHex("0000000210"), seconds);
    if (qEnvironmentVariableIsSet("QUILLON_BENCH_FLOOD_ONLY"))
        return 0;
    // QUILLON_BENCH_STORE_ONLY: just the figures for many clients (a quicker run).
    if (!qEnvironmentVariableIsSet("QUILLON_BENCH_STORE_ONLY")) {
        benchOwnerLookup();
        benchLatency();
        benchJunkFlood();
        benchBusyClients(seconds);
        benchCpu(seconds);
    }
    std::printf(
        "clients reading both VFO records flat out, the window polling, a click and a knob turn a second, "
        "%d s each\n(goals: wire busy at most 50 %%, a read from the store within 10 ms, every read within "
        "150 ms, none older than allowed):\n",
        seconds);
    for (int n : {1, 2, 4, 8})
        benchStore(n, seconds);
    return 0;
}

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
#include "sim/ptyradioserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

class Ser2net {
public:
    ~Ser2net() { stop(); }
    bool start(const QString &device, quint16 port) {
        QFile file(m_dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QStringLiteral("connection: &radio\n    accepter: tcp,127.0.0.1,%1\n"
                                  "    connector: serialdev,%2,4800n82,local\n")
                       .arg(port)
                       .arg(device)
                       .toUtf8());
        file.close();
        QString program = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
        if (program.isEmpty())
            program =
                QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")});
        m_process.start(program,
                        {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), file.fileName()});
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) { // listening once the port cannot be had
            QTcpServer other;
            if (!other.listen(QHostAddress::LocalHost, port))
                return true;
            other.close();
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// Passes one connection on to 127.0.0.1:upstream, holding each chunk `delay` in each direction.
class DelayRelay {
public:
    DelayRelay(quint16 upstream, milliseconds delay) : m_upstream(upstream), m_delay(delay) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), len);
        ::listen(m_listener, 1);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~DelayRelay() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    struct Chunk {
        Clock::time_point due;
        QByteArray bytes;
    };
    static int connectUpstream(quint16 port) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? s : (::close(s), -1);
    }
    void run() {
        while (!m_stop) {
            pollfd l{m_listener, POLLIN, 0};
            if (::poll(&l, 1, 50) <= 0)
                continue;
            const int down = ::accept(m_listener, nullptr, nullptr);
            const int up = connectUpstream(m_upstream);
            const int one = 1;
            ::setsockopt(down, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::deque<Chunk> toUp, toDown;
            bool open = up >= 0;
            while (open && !m_stop) {
                pollfd fds[2] = {{down, POLLIN, 0}, {up, POLLIN, 0}};
                ::poll(fds, 2, 1);
                for (int i = 0; i < 2 && open; ++i) {
                    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    char buf[512];
                    const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                    if (n <= 0)
                        open = false;
                    else
                        (i == 0 ? toUp : toDown).push_back({Clock::now() + m_delay, QByteArray(buf, n)});
                }
                for (auto [queue, fd] : {std::pair{&toUp, up}, std::pair{&toDown, down}})
                    while (!queue->empty() && queue->front().due <= Clock::now()) {
                        [[maybe_unused]] const ssize_t w = ::write(fd, queue->front().bytes.constData(),
                                                                   size_t(queue->front().bytes.size()));
                        queue->pop_front();
                    }
            }
            ::close(down);
            if (up >= 0)
                ::close(up);
        }
    }

    quint16 m_upstream;
    milliseconds m_delay;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

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

void sleepToNextTick(Clock::time_point &tick) {
    tick += 500ms;
    std::this_thread::sleep_until(tick);
}

void runLink(const char *name, sim::PtyRadioServer &radio, quint16 port, milliseconds radioDelay) {
    constexpr int kPolls = 16;
    radio.withRadio([&](sim::VirtualRadio &r) {
        r.setLatency(radioDelay);
        r.setMainFilterByte(kFirst.main);
        r.setSubFilterByte(kFirst.sub);
    });
    TcpSerialLine line(QStringLiteral("127.0.0.1"), port);
    ReplyWait wait;
    qint16 PortNum = 0;
    QByteArray RxData;
    const auto t0 = Clock::now();
    const bool found = searchForRadio(line, wait, PortNum, RxData, nullptr, SearchPlan{1, 1, QString()});
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
    if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty() &&
        QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")}).isEmpty()) {
        std::printf("ser2net not installed: skipped\n");
        return 0;
    }
    sim::PtyRadioServer radio;
    if (!radio.start()) {
        std::printf("no pseudo-terminal: %s\n", qPrintable(radio.errorString()));
        return 1;
    }
    const quint16 port = freePort();
    Ser2net ser2net;
    if (!ser2net.start(radio.devicePath(), port)) {
        std::printf("ser2net did not start\n");
        return 1;
    }
    std::printf("each link: the search, then %d polls at 500 ms, the radio's filters changed after the 8th\n",
                16);
    runLink("ser2net", radio, port, 5ms);
    runLink("ser2net, radio answers 50 ms late", radio, port, 50ms);
    runLink("ser2net, radio answers 150 ms late", radio, port, 150ms);
    for (int oneWay : {25, 40, 50, 150}) {
        DelayRelay relay(port, milliseconds(oneWay));
        runLink(qPrintable(QStringLiteral("ser2net + %1 ms each way").arg(oneWay)), radio, relay.port(), 5ms);
    }

    // ser2net stopped for 3 s and started again, the radio's filters changed meanwhile.
    radio.withRadio([](sim::VirtualRadio &r) {
        r.setLatency(5ms);
        r.setMainFilterByte(kFirst.main);
        r.setSubFilterByte(kFirst.sub);
    });
    TcpSerialLine line(QStringLiteral("127.0.0.1"), port);
    ReplyWait wait;
    qint16 PortNum = 0;
    QByteArray RxData;
    if (!searchForRadio(line, wait, PortNum, RxData, nullptr, SearchPlan{1, 1, QString()})) {
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
    while (Clock::now() - down < 3s) {
        sleepToNextTick(tick);
        poll(line, wait, lamps, wholeMain, wholeSub);
    }
    const double cpuShare = (sim::threadCpuSeconds() - cpu0) / duration<double>(Clock::now() - down).count();
    ser2net.start(radio.devicePath(), port);
    const auto up = Clock::now();
    int polls = 0;
    while (lamps != lampsOf(kSecond) && Clock::now() - up < 10s) {
        sleepToNextTick(tick);
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

// SPDX-License-Identifier: GPL-3.0-or-later
// The one port the user chose (quillon --port), end to end: the window, the real lines and
// three virtual radios on pseudo-terminals, the middle one also served by a real ser2net on a
// loopback port. Only the chosen port may be touched; the failure box names the cause.
#include "testrig.h"

#include "radio/commandblock.h"
#include "radio/portchoice.h"
#include "radio/tcpserialline.h"
#include "sim/cputime.h"
#include "sim/networkpeers.h"
#include "sim/ptyradioserver.h"
#include "ui/options.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
using sim::PtyRadioServer;
using sim::RadioFault;
using sim::Ser2net;
using sim::ser2netProgram;
using sim::VirtualRadio;

Q_DECLARE_METATYPE(quillon::sim::RadioFault)

namespace {

const Lamps kTrueLamps{FilterId::Hi_2000, FilterId::Lo_2000, FilterId::Sub500}; // main 22, sub 33
const Lamps kNextLamps{FilterId::Hi_2400, FilterId::Lo_250, FilterId::Sub6000}; // main 94, sub 00

qsizetype countOf(const std::vector<PtyRadioServer::WireBlock> &blocks, const CommandBlock &block,
                  size_t from = 0) {
    return std::count_if(blocks.begin() + qsizetype(from), blocks.end(),
                         [&](const PtyRadioServer::WireBlock &b) { return b.block == block; });
}

// A listening socket on 127.0.0.1, on a port of the system's choosing.
struct LoopbackServer {
    LoopbackServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&a), length) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~LoopbackServer() {
        for (const int fd : {peer, listener})
            if (fd >= 0)
                ::close(fd);
    }
    bool accept() {
        peer = ::accept(listener, nullptr, nullptr);
        return peer >= 0;
    }
    bool send(int count) const {
        const QByteArray bytes(count, '\x5a');
        return ::send(peer, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    int listener = -1;
    int peer = -1;
    quint16 port = 0;
};

// A resolver that answers only once told to, as one whose name server does not answer.
std::mutex g_lookupMutex;
std::condition_variable g_lookupAnswer;
bool g_mayAnswer = false;
std::atomic<int> g_lookupsAsked{0};

int answerWhenTold(const char *host, const char *service, const addrinfo *hints, addrinfo **found) {
    Q_UNUSED(host);
    ++g_lookupsAsked;
    std::unique_lock lock(g_lookupMutex);
    g_lookupAnswer.wait(lock, [] { return g_mayAnswer; });
    return ::getaddrinfo("127.0.0.1", service, hints, found);
}

} // namespace

class tst_Remote : public QObject {
    Q_OBJECT

private slots:
    void shouldUseOnlyTheChosenPort_data();
    void shouldUseOnlyTheChosenPort();
    void shouldWaitForInputUntilNewBytesCome_data();
    void shouldWaitForInputUntilNewBytesCome();
    void shouldNotHoldTheCloseOnALookupThatHangs();
};

void tst_Remote::shouldUseOnlyTheChosenPort_data() {
    // Three radios serve COM1 to COM3 of the system's table; ser2net serves the second on a
    // loopback port. %ser2net%, %free% and %pty% stand for that port, a port nothing serves and
    // the second radio's device; %broken% for a ser2net whose device is missing.
    QTest::addColumn<QString>("where");
    QTest::addColumn<RadioFault>("fault"); // of the second radio
    QTest::addColumn<QString>("cause");    // empty: the radio is found
    QTest::addColumn<bool>("restart");     // stop ser2net while polling, then start it again
    QTest::addColumn<QByteArray>("stale"); // waiting on the device before anyone connects
    QTest::addColumn<int>("oneWayMs");     // %ser2net% reached through a path this slow each way

    const QString answered = QStringLiteral("A device answered on %1, but not as an FT-1000MP.");
    QTest::newRow("ser2net, stopped and started again")
        << "127.0.0.1:%ser2net%" << RadioFault::None << QString() << true << QByteArray() << 0;
    // A radio far away: every reply later than the fixed waits allow for.
    for (int oneWay : {50, 150})
        QTest::addRow("ser2net, %d ms each way", oneWay)
            << "127.0.0.1:%ser2net%" << RadioFault::None << QString() << false << QByteArray() << oneWay;
    QTest::newRow("ser2net by name") << "localhost:%ser2net%" << RadioFault::None << QString() << false
                                     << QByteArray() << 0;
    // The replies to the last client's last request, which the server passes on to the next.
    QTest::newRow("ser2net, an old reply waiting")
        << "127.0.0.1:%ser2net%" << RadioFault::None << QString() << false << QByteArray(16, '\x22') << 0;
    QTest::newRow("ser2net, another device")
        << "127.0.0.1:%ser2net%" << RadioFault::WrongId << answered.arg("127.0.0.1:%ser2net%") << false
        << QByteArray() << 0;
    QTest::newRow("ser2net without its device")
        << "127.0.0.1:%broken%" << RadioFault::None
        << "127.0.0.1:%broken% accepted the connection and closed it at once: the serial server could not "
           "open the radio's port (check the device in its configuration), or it serves another program."
        << false << QByteArray() << 0;
    QTest::newRow("refused") << "127.0.0.1:%free%" << RadioFault::None
                             << "127.0.0.1:%free% refused the connection: nothing serves that port there. "
                                "Check that ser2net runs on that machine and listens on that port."
                             << false << QByteArray() << 0;
    QTest::newRow("timed out")
        << "127.0.0.1:%stalled%" << RadioFault::None
        << "Connecting to 127.0.0.1:%stalled% timed out. Check the address, and that the "
           "machine is on and reachable from here (the VPN or SSH tunnel up)."
        << false << QByteArray() << 0;
    QTest::newRow("unknown host") << "no-such-host.invalid:4000" << RadioFault::None
                                  << "Host not found: no-such-host.invalid:4000. Check the name, or give the "
                                     "address instead."
                                  << false << QByteArray() << 0;
    QTest::newRow("device path") << "%pty%" << RadioFault::None << QString() << false << QByteArray() << 0;
    QTest::newRow("device path, silent")
        << "%pty%" << RadioFault::Silent
        << "Nothing answered on %pty%. Check that the radio is switched on and its CAT cable connected."
        << false << QByteArray() << 0;
    QTest::newRow("COM2 of three") << "COM2" << RadioFault::None << QString() << false << QByteArray() << 0;
    QTest::newRow("COM5 of three")
        << "com5" << RadioFault::None
        << "COM5 does not exist. Check the name, and that the adapter is plugged in." << false << QByteArray()
        << 0;
}

void tst_Remote::shouldUseOnlyTheChosenPort() {
    QFETCH(QString, where);
    QFETCH(RadioFault, fault);
    QFETCH(QString, cause);
    QFETCH(bool, restart);
    QFETCH(QByteArray, stale);
    QFETCH(int, oneWayMs);
    if (ser2netProgram().isEmpty())
        QSKIP("ser2net is not installed");
    if (qEnvironmentVariableIsSet("QUILLON_TEST_EMULATOR"))
        QSKIP("ser2net is the host's own program, which a test under qemu-user cannot start");

    PtyRadioServer radios[3];
    QStringList table;
    for (PtyRadioServer &r : radios) {
        if (!r.start())
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: %1").arg(r.errorString())));
        r.withRadio([](VirtualRadio &v) {
            v.setMainFilterByte(0x22);
            v.setSubFilterByte(0x33);
        });
        table << r.devicePath();
    }
    PtyRadioServer &chosen = radios[1];
    chosen.withRadio([&](VirtualRadio &v) { v.setFault(fault); });
    chosen.sendUnsolicited(stale);
    const quint16 port = sim::freeLoopbackPort();
    // Only where it is the chosen port: it opens the device whenever someone connects.
    Ser2net ser2net;
    if (where.contains(QLatin1String("%ser2net%")))
        QVERIFY(ser2net.start(chosen.devicePath(), port));
    if (where.contains(QLatin1String("%broken%")))
        QVERIFY(ser2net.start(QStringLiteral("/dev/quillon-no-such-device"), port));
    const quint16 unused = sim::freeLoopbackPort();
    std::optional<sim::DelayRelay> far;
    if (oneWayMs > 0)
        far.emplace(port, std::chrono::milliseconds(oneWayMs));
    std::optional<sim::StalledListener> stalled;
    if (where.contains(QLatin1String("%stalled%"))) {
        stalled.emplace();
        QVERIFY2(stalled->port() != 0, "could not make a port that never answers");
    }
    const auto fill = [&](QString s) {
        return s.replace(QLatin1String("%ser2net%"), QString::number(far ? far->port() : port))
            .replace(QLatin1String("%stalled%"), QString::number(stalled ? stalled->port() : 0))
            .replace(QLatin1String("%broken%"), QString::number(port))
            .replace(QLatin1String("%free%"), QString::number(unused))
            .replace(QLatin1String("%pty%"), chosen.devicePath());
    };
    where = fill(where);
    cause = fill(cause);

    // As the program starts: its options, the line they ask for, the search they ask for.
    const Options options = parseOptions({QStringLiteral("quillon"), QStringLiteral("--port"), where}, false);
    TestPlatform platform;
    platform.realClock = true;
    frmQuillon window(platform, lineFor(options.port, [&] { return PortTable(table); }));
    window.setSearchPlan(searchPlanFor(options.port));
    QCOMPARE(window.Form_Load(), cause.isEmpty());
    if (!cause.isEmpty()) {
        QCOMPARE(platform.messages,
                 QStringList{QStringLiteral("I couldn't find the FT-1000MP on any COM port")});
        QCOMPARE(platform.details, QStringList{cause});
        QCOMPARE(platform.beeps, 0);
        QVERIFY(!window.serialLine().IsOpen());
    } else {
        QCOMPARE(platform.beeps, 1);
        QCOMPARE(platform.messages, QStringList());
        window.show();
        QTRY_COMPARE_WITH_TIMEOUT(litOn(window), kTrueLamps, 3000);
        // A click is one filter select on the wire, and the lamps follow the radio.
        const size_t before = chosen.receivedBlocks().size();
        window.Lo_500_Cmd_Click();
        const FilterButtonInfo &lo500 = filterButton(FilterId::Lo_500);
        QTRY_COMPARE_WITH_TIMEOUT(countOf(chosen.receivedBlocks(),
                                          filterSelectBlock(lo500.FilterPath, qint16(lo500.FilterCode)),
                                          before),
                                  1, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(litOn(window).count(FilterId::Lo_500), 2000);
    }
    if (restart) {
        ser2net.stop();
        const Lamps kept = litOn(window);
        chosen.withRadio([](VirtualRadio &v) {
            v.setMainFilterByte(0x94);
            v.setSubFilterByte(0x00);
        });
        // Down: the window polls on, quietly, keeping its lamps, and sleeps through its waits.
        const double cpu0 = sim::programCpuSeconds();
        QTest::qWait(2500);
        const double cpuShare = (sim::programCpuSeconds() - cpu0) / 2.5;
        QVERIFY2(
            cpuShare < 0.05,
            qPrintable(QStringLiteral("program CPU (window and radio line) %1 while down").arg(cpuShare)));
        QCOMPARE(litOn(window), kept);
        QCOMPARE(platform.messages, QStringList());
        // Up again on the same port: one probe, then the polls, and the lamps follow.
        const size_t before = chosen.receivedBlocks().size();
        QVERIFY(ser2net.start(chosen.devicePath(), port));
        QTRY_COMPARE_WITH_TIMEOUT(litOn(window), kNextLamps, 5000);
        const std::vector<PtyRadioServer::WireBlock> blocks = chosen.receivedBlocks();
        QVERIFY(blocks.size() > before);
        QVERIFY2(blocks[before].block == probeBlock(), "used before it answered the probe");
        QCOMPARE(countOf(blocks, probeBlock(), before), 1);
        QCOMPARE(platform.beeps, 1);
    }
    for (PtyRadioServer *other : {&radios[0], &radios[2]})
        QVERIFY2(other->receivedBytes().isEmpty(), "a port the user did not choose was written to");
    window.close();
    QVERIFY(!window.serialLine().IsOpen());
}

void tst_Remote::shouldWaitForInputUntilNewBytesCome_data() {
    QTest::addColumn<int>("before");   // bytes the server sends once connected, before the wait
    QTest::addColumn<bool>("takenIn"); // the line counts them (so takes them in) before it waits
    QTest::addColumn<int>("later");    // bytes the server sends 200 ms into the wait; -1: it closes
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<double>("minMs"); // how long the wait may take
    QTest::addColumn<double>("maxMs");
    QTest::addColumn<int>("waiting"); // what the line counts afterwards; -1: it has failed

    QTest::newRow("new bytes wake it") << 0 << false << 5 << 3000 << 150.0 << 1500.0 << 5;
    QTest::newRow("bytes not yet taken in: at once") << 5 << false << 0 << 3000 << 0.0 << 150.0 << 5;
    QTest::newRow("bytes taken in do not wake it") << 5 << true << 0 << 400 << 390.0 << 2000.0 << 5;
    QTest::newRow("nothing comes: until the deadline") << 0 << false << 0 << 400 << 390.0 << 2000.0 << 0;
    QTest::newRow("the server closes: at once") << 0 << false << -1 << 3000 << 150.0 << 1500.0 << -1;
    // More waits in the system than the buffer holds: the socket stays readable, the wait may not.
    QTest::newRow("buffer full: a tick, no spin")
        << 2 * kInputBufferSize << true << 0 << 400 << 1.0 << 100.0 << kInputBufferSize;
}

// The reads of a reply sleep in waitForInput between bytes: it must end when bytes come that the
// line has not taken in, and only then (or at the deadline), or the reader spins or is late.
void tst_Remote::shouldWaitForInputUntilNewBytesCome() {
    QFETCH(int, before);
    QFETCH(bool, takenIn);
    QFETCH(int, later);
    QFETCH(int, deadlineMs);
    QFETCH(double, minMs);
    QFETCH(double, maxMs);
    QFETCH(int, waiting);

    LoopbackServer server;
    QVERIFY(server.port != 0);
    TcpSerialLine line(QStringLiteral("127.0.0.1"), server.port);
    QCOMPARE(line.OpenPort(), LineError::None);
    QVERIFY(server.accept());
    if (before > 0)
        QVERIFY(server.send(before));
    if (takenIn)
        QTRY_COMPARE(line.BytesWaiting(), std::optional<qint16>(qint16(std::min(before, kInputBufferSize))));

    std::thread peer([&] {
        if (later == 0)
            return;
        std::this_thread::sleep_for(200ms);
        if (later > 0)
            server.send(later);
        else
            ::shutdown(server.peer, SHUT_RDWR);
    });
    MonotonicClock &clock = SystemClock::instance();
    QElapsedTimer timer;
    timer.start();
    line.waitForInput(clock, clock.now() + std::chrono::milliseconds(deadlineMs));
    const double tookMs = double(timer.nsecsElapsed()) / 1e6;
    peer.join();
    QVERIFY2(tookMs >= minMs && tookMs <= maxMs,
             qPrintable(QStringLiteral("the wait took %1 ms").arg(tookMs)));
    const std::optional<qint16> counted = line.BytesWaiting();
    if (waiting < 0)
        QVERIFY2(!counted, "the line did not fail once the server had closed");
    else
        QCOMPARE(counted, std::optional<qint16>(qint16(waiting)));
}

// The system's resolver cannot be stopped while it waits for a name server: the open gives up at
// its limit, the line goes at once, and the lookup's thread is joined once it ends, never left to
// run on past the program.
void tst_Remote::shouldNotHoldTheCloseOnALookupThatHangs() {
    QElapsedTimer timer;
    {
        auto line = std::make_unique<TcpSerialLine>(QStringLiteral("radio.example"), 4000, &answerWhenTold);
        timer.start();
        QCOMPARE(line->OpenPort(), LineError::TimedOut);
        const qint64 took = timer.elapsed();
        QVERIFY2(took >= TcpSerialLine::kConnectLimit.count() - 50 &&
                     took < TcpSerialLine::kConnectLimit.count() + 1500,
                 qPrintable(QStringLiteral("the open took %1 ms").arg(took)));
        QCOMPARE(g_lookupsAsked.load(), 1);
        QVERIFY(!line->IsOpen());
        timer.restart();
        line.reset();
        QVERIFY2(timer.elapsed() < 500,
                 qPrintable(QStringLiteral("the line took %1 ms to go").arg(timer.elapsed())));
    }
    // Still looking up: the program's end waits only as long as it is told, and says so.
    timer.restart();
    QVERIFY(!TcpSerialLine::endLookups(200ms));
    QVERIFY2(timer.elapsed() >= 190 && timer.elapsed() < 1500,
             qPrintable(QStringLiteral("the end waited %1 ms").arg(timer.elapsed())));
    {
        const std::lock_guard lock(g_lookupMutex);
        g_mayAnswer = true;
    }
    g_lookupAnswer.notify_all();
    QVERIFY(TcpSerialLine::endLookups(5000ms));
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    tst_Remote test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_remote.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// The radio link: command blocks on the wire, the reply wait, the port table, and the real
// serial adapter against the virtual radio on a pseudo-terminal.

#include "radio/commandblock.h"
#include "radio/lineowner.h"
#include "radio/linkdelay.h"
#include "radio/porttable.h"
#include "radio/replywait.h"
#include "sim/forwardingline.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"
#include "testutil.h"
// The Windows build has no pseudo-terminals; its real line is tested in tst_win32line.
#if !defined(QUILLON_NO_PTY)
#include "radio/discovery.h"
#include "radio/portchoice.h"
#include "radio/posixserialline.h"
#include "radio/replyread.h"
#include "sim/ptyradioserver.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <QTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace quillon;
using namespace quillon::sim;
using quillon::testing::hex;
using quillon::testing::readUntil;
using namespace std::chrono_literals;

using ByteList = QList<QByteArray>;

namespace {

[[maybe_unused]] QByteArray allByteValues() {
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    return all;
}

// A device gone for good: every new try to take it again fails, and is counted.
class GoneLine final : public ForwardingLine {
public:
    GoneLine(SerialLine &inner, std::chrono::milliseconds interval)
        : ForwardingLine(inner), m_interval(interval) {}
    bool isLost() const override { return true; }
    LineError reopen() override {
        ++tries;
        return LineError::ConnectionRefused;
    }
    bool reopening() const override { return false; }
    std::chrono::milliseconds reopenInterval() const override { return m_interval; }
    std::atomic<int> tries{0};

private:
    std::chrono::milliseconds m_interval;
};

} // namespace

class tst_Radio : public QObject {
    Q_OBJECT

private slots:
    void shouldPutBlocksOnWireExactly_data();
    void shouldPutBlocksOnWireExactly();
    void shouldStopAStatusRequestAtItsFirstFailedByte();
    void shouldIdentifyRadioReply_data();
    void shouldIdentifyRadioReply();

    void shouldWaitFromMarkOnManualClock_data();
    void shouldWaitFromMarkOnManualClock();
    void shouldWaitFromMarkOnRealClock_data();
    void shouldWaitFromMarkOnRealClock();

    void shouldLearnWhatTheLinkAdds_data();
    void shouldLearnWhatTheLinkAdds();

    void shouldTryALostLineAtMostOncePerInterval_data();
    void shouldTryALostLineAtMostOncePerInterval();
    void shouldGiveTheClientsTheirTurnsInOrder_data();
    void shouldGiveTheClientsTheirTurnsInOrder();

    void shouldOrderPortTable_data();
    void shouldOrderPortTable();
    void shouldMapPortNumbers_data();
    void shouldMapPortNumbers();

#if !defined(QUILLON_NO_PTY)
    void shouldFailOpenWithoutDevice_data();
    void shouldFailOpenWithoutDevice();
    void shouldRefuseSecondOpenOfSameDevice();
    void shouldReadNothingAfterClear();
    void shouldPassAllByteValuesOut();
    void shouldPassAllByteValuesIn();
    void shouldDeliverWrittenBytesBeforeClose();
    void shouldExchangeWithVirtualRadio();
    void shouldFailIoAfterUnplug();
    void shouldDiscardWhatWaitedBeforeTheProbe_data();
    void shouldDiscardWhatWaitedBeforeTheProbe();
    void shouldPostNothingToTheOwnersThread_data();
    void shouldPostNothingToTheOwnersThread();
    void shouldRefuseADeviceAnotherProgramHolds_data();
    void shouldRefuseADeviceAnotherProgramHolds();
    void shouldWaitForNewInputOrTheDeadline_data();
    void shouldWaitForNewInputOrTheDeadline();
    void shouldReadAWholeReplyWithoutLookingOnATick_data();
    void shouldReadAWholeReplyWithoutLookingOnATick();
#endif
};

void tst_Radio::shouldPutBlocksOnWireExactly_data() {
    QTest::addColumn<int>("which"); // 0 probe, 1 status main, 2 status sub, 3 filter select
    QTest::addColumn<int>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<ByteList>("writes");

    QTest::newRow("probe") << 0 << 0 << 0 << ByteList{hex("00000000fa")};
    QTest::newRow("status main") << 1 << 0 << 0
                                 << ByteList{hex("00"), hex("00"), hex("00"), hex("02"), hex("10")};
    QTest::newRow("status sub") << 2 << 0 << 0
                                << ByteList{hex("00"), hex("00"), hex("00"), hex("03"), hex("10")};
    QTest::newRow("455 500") << 3 << 2 << 3 << ByteList{hex("020000038c")};
    QTest::newRow("8.215 2.4K") << 3 << 1 << 0 << ByteList{hex("010000008c")};
    QTest::newRow("8.215 THRU") << 3 << 1 << 4 << ByteList{hex("010000048c")};
    QTest::newRow("sub 2.4K") << 3 << 0 << 128 << ByteList{hex("000000808c")};
    QTest::newRow("sub 6.0K") << 3 << 0 << 132 << ByteList{hex("000000848c")};
    QTest::newRow("wide values keep their low byte") << 3 << 0x102 << 0x1FF << ByteList{hex("020000ff8c")};
    QTest::newRow("negative code") << 3 << 2 << -1 << ByteList{hex("020000ff8c")};
}

void tst_Radio::shouldPutBlocksOnWireExactly() {
    QFETCH(int, which);
    QFETCH(int, path);
    QFETCH(int, code);
    QFETCH(ByteList, writes);
    ManualClock clock;
    SimSerialLine line(clock);
    line.attachMute(1);
    line.Configure(1);
    line.OpenPort();
    line.clearCalls();

    LineError result = LineError::WriteFailed;
    switch (which) {
    case 0:
        result = SendProbe(line);
        break;
    case 1:
        result = SendStatusMain(line);
        break;
    case 2:
        result = SendStatusSub(line);
        break;
    default:
        result = SendFilterSelect(line, path, qint16(code));
        break;
    }
    QCOMPARE(result, LineError::None);
    const std::vector<QByteArray> got = line.writes();
    QCOMPARE(ByteList(got.begin(), got.end()), writes);
    // Sending never reads.
    for (const auto &call : line.calls())
        QCOMPARE(call.op, SimSerialLine::Op::WriteBytes);
}

// The rest of a block after a failed byte would be read by the radio as the start of another
// block, and on a wedged adapter each try costs its timeout.
void tst_Radio::shouldStopAStatusRequestAtItsFirstFailedByte() {
    ManualClock clock;
    SimSerialLine line(clock);
    QCOMPARE(SendStatusSub(line), LineError::NotOpen);
    QCOMPARE(line.calls().size(), size_t(1));
    QCOMPARE(SendProbe(line), LineError::NotOpen);
    QCOMPARE(SendFilterSelect(line, 2, 3), LineError::NotOpen);
    QVERIFY(line.wire().isEmpty());
}

void tst_Radio::shouldIdentifyRadioReply_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("isRadio");
    QTest::newRow("Mark V") << hex("0220020393") << true;
    QTest::newRow("any flags") << hex("ffffff0393") << true;
    QTest::newRow("zero flags") << hex("0000000393") << true;
    QTest::newRow("wrong id") << hex("0220020394") << false;
    QTest::newRow("swapped id") << hex("0220029303") << false;
    QTest::newRow("four bytes") << hex("20020393") << false;
    QTest::newRow("six bytes") << hex("022002039300") << false;
    QTest::newRow("six bytes ending in id") << hex("000220020393") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_Radio::shouldIdentifyRadioReply() {
    QFETCH(QByteArray, reply);
    QFETCH(bool, isRadio);
    QCOMPARE(isRadioReply(reply), isRadio);
}

void tst_Radio::shouldWaitFromMarkOnManualClock_data() {
    QTest::addColumn<int>("elapsedMs"); // time between MarkTime and DoDelay
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("sleeps");
    QTest::addColumn<int>("endMs"); // clock reading after DoDelay, from the mark

    QTest::newRow("right after mark") << 0 << 100 << 1 << 100;
    QTest::newRow("part elapsed") << 60 << 150 << 1 << 150;
    QTest::newRow("exactly due") << 200 << 200 << 0 << 200;
    QTest::newRow("long passed") << 5000 << 100 << 0 << 5000;
    QTest::newRow("zero delay") << 0 << 0 << 0 << 0;
}

void tst_Radio::shouldWaitFromMarkOnManualClock() {
    QFETCH(int, elapsedMs);
    QFETCH(int, delayMs);
    QFETCH(int, sleeps);
    QFETCH(int, endMs);
    ManualClock clock;
    ReplyWait wait(clock);
    wait.MarkTime();
    const auto mark = clock.now();
    QCOMPARE(wait.StartTime(), mark);
    clock.advance(std::chrono::milliseconds(elapsedMs));
    wait.DoDelay(std::chrono::milliseconds(delayMs));
    QCOMPARE(clock.sleeps(), sleeps);
    QCOMPARE(clock.now() - mark, std::chrono::nanoseconds(std::chrono::milliseconds(endMs)));
}

// The same on the system clock: never short of the delay from the mark, and loosely but surely
// bounded above, so that a wait that sleeps too long, or the whole delay again after the
// deadline has passed, fails. How close a wait comes is measured by the benchmark.
void tst_Radio::shouldWaitFromMarkOnRealClock_data() {
    QTest::addColumn<int>("elapsedMs"); // slept between MarkTime and DoDelay
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("maxCallMs"); // the DoDelay call's own length, at most

    QTest::newRow("probe wait from the mark") << 0 << 100 << 500;
    QTest::newRow("deadline already passed") << 450 << 400 << 200;
}

void tst_Radio::shouldWaitFromMarkOnRealClock() {
    QFETCH(int, elapsedMs);
    QFETCH(int, delayMs);
    QFETCH(int, maxCallMs);
    ReplyWait wait;
    wait.MarkTime();
    const auto mark = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(elapsedMs));
    const auto called = std::chrono::steady_clock::now();
    wait.DoDelay(std::chrono::milliseconds(delayMs));
    const auto returned = std::chrono::steady_clock::now();
    QVERIFY(returned - mark >= std::chrono::milliseconds(delayMs));
    const auto callMs = std::chrono::duration_cast<std::chrono::milliseconds>(returned - called).count();
    QVERIFY2(callMs <= maxCallMs, qPrintable(QStringLiteral("DoDelay took %1 ms").arg(callMs)));
}

void tst_Radio::shouldLearnWhatTheLinkAdds_data() {
    // What happened on the line, in order: a number is a whole reply that many ms after its
    // request, "-" a wait that ended without one.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("allowanceMs");
    QTest::newRow("nothing seen yet: the most") << QStringList{} << 600;
    QTest::newRow("a fast link: the least") << QStringList{"40"} << 100;
    QTest::newRow("100 ms each way: twice the slowest reply") << QStringList{"240", "280", "245"} << 560;
    QTest::newRow("150 ms each way: the most") << QStringList{"340"} << 600;
    QTest::newRow("a slow reply forgotten after eight")
        << QStringList{"250", "60", "60", "60", "60", "60", "60", "60", "60"} << 120;
    QTest::newRow("a slow reply still among the eight")
        << QStringList{"250", "60", "60", "60", "60", "60", "60", "60"} << 500;
    QTest::newRow("missed: twice as long") << QStringList{"40", "-"} << 200;
    QTest::newRow("missed again and again: the most") << QStringList{"40", "-", "-", "-", "-", "-"} << 600;
    QTest::newRow("after a miss only new replies count") << QStringList{"250", "-", "50"} << 100;
}

void tst_Radio::shouldLearnWhatTheLinkAdds() {
    QFETCH(QStringList, events);
    QFETCH(int, allowanceMs);
    LinkDelay link;
    for (const QString &e : std::as_const(events)) {
        if (e == QLatin1String("-"))
            link.missed();
        else
            link.replied(std::chrono::milliseconds(e.toInt()));
    }
    QCOMPARE(link.allowance().count(), allowanceMs);
}

// Jobs keep coming (polls, clients' blocks) while the device is gone; a server that is down is
// not hammered with a connection for each of them.
void tst_Radio::shouldTryALostLineAtMostOncePerInterval_data() {
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("tries"); // in 2.5 s
    QTest::newRow("serial server, once a second") << 1000 << 3;
    QTest::newRow("adapter, every 0.4 s") << 400 << 7;
}

void tst_Radio::shouldTryALostLineAtMostOncePerInterval() {
    QFETCH(int, intervalMs);
    QFETCH(int, tries);
    ManualClock clock;
    SimSerialLine sim(clock);
    auto gone = std::make_unique<GoneLine>(sim, std::chrono::milliseconds(intervalMs));
    GoneLine &line = *gone;
    LineOwner owner(std::move(gone), clock);
    for (int i = 0; i < 250; ++i)
        owner.post(LineOwner::Priority::Poll,
                   [](LineOwner::Context &c) { c.clock.sleepUntil(c.clock.now() + 10ms); });
    QTRY_VERIFY(!owner.isBusy());
    owner.stop();
    QCOMPARE(line.tries.load(), tries);
    QCOMPARE(owner.reopenTries(), tries);
}

// The order of the owner's turns when the first job ends with others waiting: "~" is a clients'
// pass that may not use the wire, "C" a client's block on the wire.
void tst_Radio::shouldGiveTheClientsTheirTurnsInOrder_data() {
    QTest::addColumn<QStringList>("first");   // the job running, "op:" or "poll:" and its name
    QTest::addColumn<QStringList>("waiting"); // queued meanwhile, "client" a client's block
    QTest::addColumn<QStringList>("order");
    // A read the click made stale is not held behind both of the window's requests.
    QTest::newRow("click, then a tick and a client's read")
        << QStringList{"op:click"} << QStringList{"poll:main", "poll:sub", "client"}
        << QStringList{"click", "~", "C", "main", "~", "sub"};
    QTest::newRow("a second click still comes first")
        << QStringList{"op:click1"} << QStringList{"op:click2", "poll:main", "poll:sub", "client"}
        << QStringList{"click1", "~", "click2", "~", "C", "main", "~", "sub"};
    // A read that comes during a tick goes between its two requests, not behind both.
    QTest::newRow("a poll, then a client's read")
        << QStringList{"poll:main"} << QStringList{"poll:sub", "client"}
        << QStringList{"main", "~", "C", "sub", "~"};
    QTest::newRow("a poll, then two of a client's blocks")
        << QStringList{"poll:main"} << QStringList{"poll:sub", "client", "client"}
        << QStringList{"main", "~", "C", "sub", "~", "C"};
    QTest::newRow("no clients waiting") << QStringList{"op:click"} << QStringList{"poll:main", "poll:sub"}
                                        << QStringList{"click", "main", "sub"};
}

void tst_Radio::shouldGiveTheClientsTheirTurnsInOrder() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, waiting);
    QFETCH(QStringList, order);
    ManualClock clock;
    SimSerialLine sim(clock);
    LineOwner owner(std::make_unique<ForwardingLine>(sim), clock);
    std::mutex mutex;
    QStringList log;
    int clientBlocks = 0;
    std::atomic<int> fullTurns{0};
    owner.setClientWork([&](LineOwner::Context &, Wire turn) {
        std::lock_guard lock(mutex);
        fullTurns += turn == Wire::Yes;
        if (turn == Wire::No) {
            log << QStringLiteral("~");
            return false;
        }
        if (clientBlocks == 0)
            return false;
        --clientBlocks;
        log << QStringLiteral("C");
        return true;
    });
    std::atomic<bool> release{false}, running{false};
    const auto post = [&](const QString &what, bool hold) {
        const QString name = what.section(u':', 1);
        owner.post(what.startsWith(u"op:") ? LineOwner::Priority::Operator : LineOwner::Priority::Poll,
                   [&, name, hold](LineOwner::Context &) {
                       running = true;
                       while (hold && !release)
                           std::this_thread::sleep_for(1ms);
                       std::lock_guard lock(mutex);
                       log << name;
                   });
    };
    // The work is asked once when it is installed; the test begins after that.
    QTRY_VERIFY(fullTurns > 0 && !owner.isBusy());
    post(first.front(), true);
    QTRY_VERIFY(running);
    for (const QString &what : waiting) {
        if (what != u"client") {
            post(what, false);
            continue;
        }
        {
            std::lock_guard lock(mutex);
            ++clientBlocks;
        }
        owner.clientWorkArrived();
    }
    release = true;
    QTRY_VERIFY(!owner.isBusy());
    // The owner's thread takes the blocks under the mutex; read them the same way.
    QTRY_VERIFY([&] {
        std::lock_guard lock(mutex);
        return clientBlocks == 0;
    }());
    owner.setClientWork({});
    owner.stop();
    QCOMPARE(log, order);
}

void tst_Radio::shouldOrderPortTable_data() {
    QTest::addColumn<QStringList>("names"); // prefixed "-" = no UART, "+" = USB/ACM
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("natural order within USB") << QStringList{"+ttyUSB10", "+ttyUSB2", "+ttyUSB1"}
                                              << QStringList{"/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"};
    QTest::newRow("USB and ACM before the rest")
        << QStringList{"ttyS0", "+ttyUSB0", "ttyS1", "+ttyACM0"}
        << QStringList{"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyS1"};
    QTest::newRow("placeholders dropped") << QStringList{"ttyS0", "-ttyS1", "-ttyS2", "ttyS3", "-ttyS31"}
                                          << QStringList{"/dev/ttyS0", "/dev/ttyS3"};
    QTest::newRow("natural order in the rest")
        << QStringList{"ttyS11", "ttyS2", "ttyS10", "ttyAMA0", "rfcomm0"}
        << QStringList{"/dev/rfcomm0", "/dev/ttyAMA0", "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyS11"};
    QTest::newRow("long digit runs") << QStringList{"ttyX100000000000000000001", "ttyX99"}
                                     << QStringList{"/dev/ttyX99", "/dev/ttyX100000000000000000001"};
    QTest::newRow("nothing usable") << QStringList{"-ttyS0", "-ttyS1"} << QStringList{};
    QTest::newRow("empty") << QStringList{} << QStringList{};
}

void tst_Radio::shouldOrderPortTable() {
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QList<PortCandidate> candidates;
    for (QString name : names) {
        PortCandidate c;
        if (name.startsWith('-')) {
            c.hasUart = false;
            name.remove(0, 1);
        } else if (name.startsWith('+')) {
            c.isUsbOrAcm = true;
            name.remove(0, 1);
        }
        c.portName = name;
        c.systemLocation = QStringLiteral("/dev/") + name;
        candidates.append(c);
    }
    QCOMPARE(orderPortTable(candidates), expected);
}

void tst_Radio::shouldMapPortNumbers_data() {
    QTest::addColumn<bool>("identity");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::newRow("first entry") << false << 1 << "/dev/ttyUSB0";
    QTest::newRow("last entry") << false << 2 << "/dev/ttyS0";
    QTest::newRow("beyond the table") << false << 3 << "";
    QTest::newRow("zero") << false << 0 << "";
    QTest::newRow("negative") << false << -1 << "";
    QTest::newRow("COM1") << true << 1 << "COM1";
    QTest::newRow("COM16") << true << 16 << "COM16";
    QTest::newRow("COM0") << true << 0 << "";
}

void tst_Radio::shouldMapPortNumbers() {
    QFETCH(bool, identity);
    QFETCH(int, port);
    QFETCH(QString, device);
    const PortTable table = identity ? PortTable::identity() : PortTable({"/dev/ttyUSB0", "/dev/ttyS0"});
    QCOMPARE(table.deviceFor(port), device);
}

#if !defined(QUILLON_NO_PTY)
// --- the real adapter against the pseudo-terminal radio ---

#define START_PTY_SERVER(server)                                                                             \
    PtyRadioServer server;                                                                                   \
    if (!server.start())                                                                                     \
        QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: ") + server.errorString()));

void tst_Radio::shouldFailOpenWithoutDevice_data() {
    QTest::addColumn<QString>("device"); // "" = no table entry; "pty" = the live pty
    QTest::addColumn<int>("port");
    QTest::addColumn<LineError>("expected");
    QTest::newRow("no table entry") << "pty" << 2 << LineError::InvalidPortNumber;
    QTest::newRow("port zero") << "pty" << 0 << LineError::InvalidPortNumber;
    QTest::newRow("device vanished") << "/dev/quillon-no-such-device" << 1 << LineError::InvalidPortNumber;
    QTest::newRow("not a serial device") << "/dev/null" << 1 << LineError::OpenFailed;
    QTest::newRow("the pty itself") << "pty" << 1 << LineError::None;
}

void tst_Radio::shouldFailOpenWithoutDevice() {
    QFETCH(QString, device);
    QFETCH(int, port);
    QFETCH(LineError, expected);
    START_PTY_SERVER(server);
    PosixSerialLine line(PortTable({device == "pty" ? server.devicePath() : device}));
    QCOMPARE(line.Configure(qint16(port)), LineError::None);
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.OpenPort(), expected);
    QCOMPARE(line.IsOpen(), expected == LineError::None);
    if (expected != LineError::None) {
        QCOMPARE(line.WriteBytes(hex("00")), LineError::NotOpen);
        QCOMPARE(line.BytesWaiting(), std::nullopt);
        QCOMPARE(line.ClosePort(), LineError::NotOpen);
    } else {
        QCOMPARE(line.ClosePort(), LineError::None);
        QVERIFY(!line.IsOpen());
    }
}

void tst_Radio::shouldRefuseSecondOpenOfSameDevice() {
    START_PTY_SERVER(server);
    PosixSerialLine first(PortTable({server.devicePath()}));
    PosixSerialLine second(PortTable({server.devicePath()}));
    first.Configure(1);
    QCOMPARE(first.OpenPort(), LineError::None);
    second.Configure(1);
    QCOMPARE(second.OpenPort(), LineError::PortInUse);
    QVERIFY(!second.IsOpen());
    QCOMPARE(first.Configure(1), LineError::OpenFailed); // no reconfiguring under an open line
    first.ClosePort();
    QCOMPARE(second.OpenPort(), LineError::None);
}

void tst_Radio::shouldReadNothingAfterClear() {
    START_PTY_SERVER(server);
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    server.sendUnsolicited(hex("0102030405060708"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (line.BytesWaiting().value_or(0) < 8 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(8));
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(QByteArray()));
}

void tst_Radio::shouldPassAllByteValuesOut() {
    START_PTY_SERVER(server);
    server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    const QByteArray all = allByteValues();
    QCOMPARE(line.WriteBytes(all), LineError::None);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (server.receivedBytes().size() < all.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    QCOMPARE(server.receivedBytes(), all);
}

void tst_Radio::shouldPassAllByteValuesIn() {
    START_PTY_SERVER(server);
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    const QByteArray all = allByteValues();
    server.sendUnsolicited(all);
    QCOMPARE(readUntil(line, int(all.size())), all);
}

void tst_Radio::shouldDeliverWrittenBytesBeforeClose() {
    START_PTY_SERVER(server);
    server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    QByteArray sent;
    for (int i = 0; i < 40; ++i)
        sent += toBytes(filterSelectBlock(i % 3, qint16(i)));
    QCOMPARE(line.WriteBytes(sent), LineError::None);
    QCOMPARE(line.ClosePort(), LineError::None);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (server.receivedBytes().size() < sent.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    QCOMPARE(server.receivedBytes(), sent);
}

void tst_Radio::shouldExchangeWithVirtualRadio() {
    START_PTY_SERVER(server);
    server.withRadio([](VirtualRadio &r) {
        r.setMainFilterByte(0x91);
        r.setSubFilterByte(0x33);
    });
    PosixSerialLine line(PortTable({server.devicePath()}));
    ReplyWait wait;
    QCOMPARE(line.Configure(1), LineError::None);
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);

    QCOMPARE(SendProbe(line), LineError::None);
    wait.MarkTime();
    wait.DoDelay(kProbeDelay);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(5));
    const std::optional<QByteArray> probe = line.ReadAll();
    QVERIFY(probe.has_value());
    QVERIFY(isRadioReply(*probe));

    QCOMPARE(SendFilterSelect(line, 2, 2), LineError::None); // 455 kHz 500
    QCOMPARE(SendStatusMain(line), LineError::None);
    wait.MarkTime();
    wait.DoDelay(kMainStatusDelay);
    const std::optional<QByteArray> main = line.ReadAll();
    QVERIFY(main.has_value());
    QCOMPARE(main->size(), 16);
    QCOMPARE(quint8(main->at(kMainFilterOffset)), quint8(0x93));

    QCOMPARE(SendStatusSub(line), LineError::None);
    wait.MarkTime();
    wait.DoDelay(kSubStatusDelay);
    const std::optional<QByteArray> sub = line.ReadAll();
    QVERIFY(sub.has_value());
    QCOMPARE(sub->size(), 32);
    QCOMPARE(quint8(sub->at(kSubFilterOffset)), quint8(0x33));

    const std::vector<PtyRadioServer::WireBlock> blocks = server.receivedBlocks();
    QCOMPARE(blocks.size(), size_t(4));
    QCOMPARE(blocks[0].block, probeBlock());
    QCOMPARE(blocks[1].block, filterSelectBlock(2, 2));
    QCOMPARE(blocks[2].block, statusBlock(kStatusMain));
    QCOMPARE(blocks[3].block, statusBlock(kStatusMainAndSub));
    // Both waits lie between the two blocks. The times are taken when the server thread reads
    // each block, so allow for that thread being scheduled late; a skipped wait is 100 ms short.
    QVERIFY(blocks[3].when - blocks[0].when >=
            kProbeDelay + kMainStatusDelay - std::chrono::milliseconds(10));
    QCOMPARE(line.ClosePort(), LineError::None);
}

void tst_Radio::shouldFailIoAfterUnplug() {
    START_PTY_SERVER(server);
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    server.unplug();
    QCOMPARE(line.WriteBytes(toBytes(probeBlock())), LineError::WriteFailed);
    QCOMPARE(line.ReadAll(), std::nullopt);
    QCOMPARE(line.BytesWaiting(), std::nullopt);
    QCOMPARE(line.ClosePort(), LineError::None);
    QVERIFY(!line.IsOpen());
}

namespace {

// The system's time; counts how a wait was made: sleeps (a look on a tick) and waits on a
// descriptor.
class CountingClock final : public MonotonicClock {
public:
    time_point now() const override { return SystemClock::instance().now(); }
    void sleepUntil(time_point deadline) override {
        ++sleeps;
        SystemClock::instance().sleepUntil(deadline);
    }
    bool waitReadable(int fd, time_point deadline) override {
        ++waits;
        return MonotonicClock::waitReadable(fd, deadline);
    }
    int sleeps = 0;
    int waits = 0;
};

// Counts every look at the line's input; the waits go to the real line.
class LookCountingLine final : public ForwardingLine {
public:
    explicit LookCountingLine(SerialLine &inner) : ForwardingLine(inner), m_line(inner) {}
    std::optional<qint16> BytesWaiting() override {
        ++looks;
        return m_line.BytesWaiting();
    }
    std::optional<QByteArray> ReadAll() override {
        ++looks;
        return m_line.ReadAll();
    }
    void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) override {
        m_line.waitForInput(clock, deadline);
    }
    int looks = 0;

private:
    SerialLine &m_line;
};

// A lock file as minicom and QSerialPort leave it, removed again when the test ends. Another
// program's file of that name (the machine may be shared) is left alone.
class LockFile {
public:
    LockFile(const QString &device, pid_t pid) {
        QString name = device;
        name.remove(0, 5).replace(QLatin1Char('/'), QLatin1Char('_')); // "/dev/pts/3" -> "pts_3"
        m_file.setFileName(QStringLiteral("/var/lock/LCK..") + name);
        m_made = m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        if (m_made)
            m_file.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
        m_file.close();
    }
    ~LockFile() {
        if (m_made)
            m_file.remove();
    }
    bool made() const { return m_made; }

private:
    QFile m_file;
    bool m_made = false;
};

// The pid of a process that has ended.
pid_t endedProcess() {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

} // namespace

void tst_Radio::shouldRefuseADeviceAnotherProgramHolds_data() {
    QTest::addColumn<QString>("holder");
    QTest::addColumn<LineError>("expected");
    QTest::newRow("another line on it") << "line" << LineError::PortInUse;
    QTest::newRow("a running program's lock file") << "live lock" << LineError::PortInUse;
    // A program that died leaves its lock file behind; it holds nothing.
    QTest::newRow("an ended program's lock file") << "stale lock" << LineError::None;
    // A program that takes no hold (rigctld does not) cannot keep the radio's line from us.
    QTest::newRow("a plain open") << "plain" << LineError::None;
}

void tst_Radio::shouldRefuseADeviceAnotherProgramHolds() {
    QFETCH(QString, holder);
    QFETCH(LineError, expected);
    START_PTY_SERVER(server);
    PosixSerialLine other(PortTable({server.devicePath()}));
    std::unique_ptr<LockFile> lock;
    int plain = -1;
    if (holder == "line") {
        other.Configure(1);
        QCOMPARE(other.OpenPort(), LineError::None);
    } else if (holder == "plain") {
        plain = ::open(QFile::encodeName(server.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(plain >= 0);
    } else {
        lock = std::make_unique<LockFile>(server.devicePath(),
                                          holder == "live lock" ? ::getpid() : endedProcess());
        if (!lock->made())
            QSKIP("cannot make the lock file in /var/lock");
    }
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), expected);
    QCOMPARE(line.IsOpen(), expected == LineError::None);
    if (plain >= 0)
        ::close(plain);
}

void tst_Radio::shouldWaitForNewInputOrTheDeadline_data() {
    QTest::addColumn<int>("sendAfterMs"); // -1: nothing comes during the wait
    QTest::addColumn<int>("takenIn");     // bytes that came and were taken in before the wait
    QTest::addColumn<bool>("unplugged");
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<int>("earliestMs");
    QTest::addColumn<int>("latestMs");
    QTest::addColumn<int>("ticks"); // looks on a tick instead of a wait on the device
    // The ends are far apart so that a loaded machine cannot blur them.
    QTest::newRow("bytes come after 50 ms") << 50 << 0 << false << 3000 << 40 << 1500 << 0;
    QTest::newRow("nothing comes") << -1 << 0 << false << 200 << 195 << 1500 << 0;
    // What the line took in already is no reason to wake.
    QTest::newRow("only bytes already taken in") << -1 << 8 << false << 200 << 195 << 1500 << 0;
    QTest::newRow("taken in, then more come") << 50 << 8 << false << 3000 << 40 << 1500 << 0;
    // A full buffer with more waiting in the system: one tick, not a spin on the descriptor.
    QTest::newRow("buffer full") << -1 << kInputBufferSize + 100 << false << 3000 << 0 << 1500 << 1;
    QTest::newRow("device unplugged") << -1 << 0 << true << 3000 << 0 << 1500 << 0;
}

void tst_Radio::shouldWaitForNewInputOrTheDeadline() {
    QFETCH(int, sendAfterMs);
    QFETCH(int, takenIn);
    QFETCH(bool, unplugged);
    QFETCH(int, deadlineMs);
    QFETCH(int, earliestMs);
    QFETCH(int, latestMs);
    QFETCH(int, ticks);
    START_PTY_SERVER(server);
    server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
    PosixSerialLine line(PortTable({server.devicePath()}));
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    if (takenIn > 0) {
        server.sendUnsolicited(QByteArray(takenIn, '\x5a'));
        const int expect = std::min(takenIn, kInputBufferSize);
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (line.BytesWaiting().value_or(0) < expect && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(2ms);
        QCOMPARE(line.BytesWaiting(), std::optional<qint16>(qint16(expect)));
        std::this_thread::sleep_for(20ms); // the rest of them reach the device too
    }
    if (unplugged)
        server.unplug();
    const QByteArray later = hex("0102030405");
    std::thread sender;
    if (sendAfterMs >= 0)
        sender = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(sendAfterMs));
            server.sendUnsolicited(later);
        });
    CountingClock clock;
    const auto start = clock.now();
    line.waitForInput(clock, start + std::chrono::milliseconds(deadlineMs));
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start).count();
    if (sender.joinable())
        sender.join();
    QVERIFY2(tookMs >= earliestMs && tookMs <= latestMs, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QCOMPARE(clock.sleeps, ticks);
    QVERIFY(clock.waits <= 1);
    if (sendAfterMs >= 0) {
        // What woke it is there to read, after what was taken in before.
        const QByteArray expect = QByteArray(takenIn, '\x5a') + later;
        QCOMPARE(readUntil(line, int(expect.size())), expect);
    }
    if (unplugged)
        QCOMPARE(line.ReadAll(), std::nullopt);
}

void tst_Radio::shouldReadAWholeReplyWithoutLookingOnATick_data() {
    QTest::addColumn<int>("chunkMs");   // the adapter's latency timer; 0: each byte as it comes
    QTest::addColumn<int>("latencyMs"); // before the radio's reply starts
    QTest::addColumn<bool>("probe");    // the probe, counted where it waits; else the main status, read
    QTest::addColumn<int>("mostLooks");
    // 16 bytes take 37 ms at 4800 baud 8N2: at most four deliveries of a 16 ms latency timer.
    // A look every 2 ms would be about 20.
    QTest::newRow("USB adapter, main status") << 16 << 5 << false << 6;
    // Each byte wakes the reader once, the 60 ms before the first one not at all (30 looks on
    // a tick).
    QTest::newRow("slow radio, byte by byte") << 0 << 60 << false << 18;
    // Counting leaves the bytes where they are: they must not wake the wait again.
    QTest::newRow("USB adapter, probe counted") << 16 << 40 << true << 5;
}

void tst_Radio::shouldReadAWholeReplyWithoutLookingOnATick() {
    QFETCH(int, chunkMs);
    QFETCH(int, latencyMs);
    QFETCH(bool, probe);
    QFETCH(int, mostLooks);
    START_PTY_SERVER(server);
    server.setChunkPeriod(std::chrono::milliseconds(chunkMs));
    server.withRadio([&](VirtualRadio &r) { r.setLatency(std::chrono::milliseconds(latencyMs)); });
    PosixSerialLine real(PortTable({server.devicePath()}));
    LookCountingLine line(real);
    line.Configure(1);
    QCOMPARE(line.OpenPort(), LineError::None);
    ReplyWait wait;
    ReplyRead how;
    how.length = probe ? 5 : 16;
    how.wait = probe ? kProbeDelay : kMainStatusDelay;
    how.countOnly = probe;
    QCOMPARE(probe ? SendProbe(line) : SendStatusMain(line), LineError::None);
    wait.MarkTime();
    const ReplyResult r = readReply(line, wait, how);
    QVERIFY(!r.failed);
    QVERIFY(r.whole);
    if (probe)
        QCOMPARE(r.waiting, std::optional<qsizetype>(5));
    else
        QCOMPARE(r.bytes.size(), 16);
    QVERIFY2(line.looks <= mostLooks, qPrintable(QStringLiteral("%1 looks").arg(line.looks)));
}
#endif

// Counts the events delivered to the objects of one thread. The owner's thread runs no event
// loop: an event posted there is never delivered and is held until the thread ends (the memory
// of a program left running grows by it), so the test delivers them by hand and counts.
class CountingApp final : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        if (receiver && receiver->thread() == watched.load())
            ++delivered;
        return QCoreApplication::notify(receiver, event);
    }
    std::atomic<QThread *> watched{nullptr};
    std::atomic<int> delivered{0};
};

#if !defined(QUILLON_NO_PTY)
// Bytes left in the port by an earlier program (a reply in flight when it closed) are no answer
// to the probe: the radio is still found, and a device that never answers is never taken for it.
void tst_Radio::shouldDiscardWhatWaitedBeforeTheProbe_data() {
    QTest::addColumn<bool>("radioThere");
    QTest::addColumn<QByteArray>("stale");
    QTest::newRow("the radio, an old probe reply waiting") << true << hex("0220020393");
    QTest::newRow("the radio, a status record waiting") << true << QByteArray(16, '\x11');
    QTest::newRow("a silent device, an old probe reply waiting") << false << hex("0220020393");
}

void tst_Radio::shouldDiscardWhatWaitedBeforeTheProbe() {
    QFETCH(bool, radioThere);
    QFETCH(QByteArray, stale);
    START_PTY_SERVER(server);
    if (!radioThere)
        server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
    server.sendUnsolicited(stale);
    PosixSerialLine line(PortTable({server.devicePath()}));
    ReplyWait wait;
    qint16 PortNum = 0;
    QByteArray RxData;
    SearchPlan plan;
    plan.first = plan.last = 1;
    QCOMPARE(searchForRadio(line, wait, PortNum, RxData, nullptr, plan), radioThere);
    if (radioThere)
        QVERIFY(isRadioReply(RxData));
    if (line.IsOpen())
        line.ClosePort();
}

void tst_Radio::shouldPostNothingToTheOwnersThread_data() {
    QTest::addColumn<bool>("waitOut"); // the fixed wait slept in one go, or a wait for the whole reply
    QTest::addColumn<bool>("silent");  // the radio does not answer: every wait runs to its end
    QTest::newRow("shared reads, the radio answering") << false << false;
    QTest::newRow("shared reads, the radio silent") << false << true;
    QTest::newRow("fixed waits") << true << false;
}

void tst_Radio::shouldPostNothingToTheOwnersThread() {
    QFETCH(bool, waitOut);
    QFETCH(bool, silent);
    START_PTY_SERVER(server);
    if (silent)
        server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
    auto *app = static_cast<CountingApp *>(QCoreApplication::instance());
    PortChoice choice;
    choice.kind = PortChoice::Kind::Device;
    choice.device = server.devicePath();
    // The line the program itself would use for this port.
    LineOwner owner(lineFor(choice, [] { return PortTable(); }), SystemClock::instance());
    std::atomic<int> whole{0};
    std::atomic<bool> opened{false};
    owner.post(LineOwner::Priority::Operator, [&](LineOwner::Context &c) {
        c.line.Configure(1);
        opened = c.line.OpenPort() == LineError::None;
    });
    constexpr int kExchanges = 12;
    for (int i = 0; i < kExchanges; ++i)
        owner.post(LineOwner::Priority::Poll, [&](LineOwner::Context &c) {
            SendStatusMain(c.line);
            c.wait.MarkTime();
            ReplyRead how;
            how.length = 16;
            how.wait = kMainStatusDelay;
            how.waitOut = waitOut;
            whole += readReply(c.line, c.wait, how).whole;
        });
    std::atomic<int> pending{-1};
    owner.post(LineOwner::Priority::Poll, [&](LineOwner::Context &) {
        app->delivered = 0;
        app->watched = QThread::currentThread();
        QCoreApplication::sendPostedEvents();
        app->watched = nullptr;
        pending = app->delivered.load();
    });
    QVERIFY(owner.drain());
    QVERIFY(opened);
    QCOMPARE(whole.load(), silent ? 0 : kExchanges);
    QCOMPARE(pending.load(), 0);
}
#endif

int main(int argc, char **argv) {
    CountingApp app(argc, argv);
    tst_Radio test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_radio.moc"

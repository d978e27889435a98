// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing the radio: what the hub puts on the wire for its clients, and that every reply goes to
// the client that asked, whole and in time, or not at all.
#include "filters/filterstatus.h"
#include "share/sharehub.h"

#include "radio/linkdelay.h"
#include "sim/forwardingline.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"
#include "sim/virtualradio.h"

#include <QLoggingCategory>
#include <QTest>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

using namespace quillon;
using namespace quillon::sim;
using namespace std::chrono_literals;

namespace {

// A client whose bytes arrive at given times on the test's clock.
class FakeClient final : public ShareClient {
public:
    FakeClient(QString name, MonotonicClock &clock) : m_name(std::move(name)), m_clock(clock) {}
    void sendAt(std::chrono::milliseconds after, const QByteArray &bytes) {
        m_input.push_back({m_clock.now() + after, bytes});
    }
    QByteArray takeInput() override {
        if (whileTaking)
            whileTaking();
        QByteArray in;
        std::erase_if(m_input, [&](const auto &chunk) {
            if (chunk.first > m_clock.now())
                return false;
            in += chunk.second;
            return true;
        });
        return in;
    }
    void deliver(const QByteArray &bytes) override {
        received += bytes;
        fates << QStringLiteral("reply");
    }
    void settled(const CommandBlock &block, BlockFate fate) override {
        static const char *const kNames[] = {"onwire", "notsent", "dropped", "kept"};
        fates << QString::fromLatin1(toBytes(block).toHex()) + QLatin1Char(' ') +
                     QLatin1String(kNames[int(fate)]);
    }
    bool isConnected() const override { return true; }
    QString name() const override { return m_name; }

    QByteArray received;
    QStringList fates; // "reply" for each reply delivered, "HEX fate" for each block settled
    std::function<void()> whileTaking;

private:
    QString m_name;
    MonotonicClock &m_clock;
    std::vector<std::pair<MonotonicClock::time_point, QByteArray>> m_input;
};

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// What the radio answers to these bytes, as the oracle for where replies must go.
QByteArray radioReply(const QByteArray &blocks) {
    VirtualRadio radio;
    QByteArray out;
    for (const SimReply &reply : radio.feed(blocks))
        out += reply.bytes;
    return out;
}

// The radio's line as the hub sees it; behind a serial server on the network once `link` is set.
class HubLine final : public ForwardingLine {
public:
    using ForwardingLine::ForwardingLine;
    LinkDelay *linkDelay() override { return link ? &*link : nullptr; }
    std::optional<LinkDelay> link;
};

struct Station {
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line{clock};
    HubLine hubLine{line};
    std::shared_ptr<ReplyStore> store = std::make_shared<ReplyStore>();
    ShareHub hub{hubLine, clock, store};
    FakeClient a{QStringLiteral("A"), clock};
    FakeClient b{QStringLiteral("B"), clock};

    Station() {
        line.attachRadio(1, &radio);
        line.Configure(1);
        line.OpenPort();
        hub.addClient(&a);
        hub.addClient(&b);
    }
    void serveAll() {
        for (int turn = 0; turn < 40 && (hub.serveNext() || turn < 2); ++turn)
            clock.advance(10ms);
    }
};

const QByteArray kAskMain = hex("0000000210");
const QByteArray kAskBoth = hex("0000000310");
const QByteArray kFlags = hex("00000000fa");
const QByteArray kMeter = hex("00000000f7");
const QByteArray kSetFreqA = hex("005042010a");

} // namespace

class tst_Share : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("quillon.share.info=false")); }
    void shouldPutWholeBlocksOnTheWireAndReplyOnlyToTheAsker_data();
    void shouldPutWholeBlocksOnTheWireAndReplyOnlyToTheAsker();
    void shouldNeverDeliverAReplyLateOrIncomplete_data();
    void shouldNeverDeliverAReplyLateOrIncomplete();
    void shouldWaitForRepliesAsLongAsTheLinkAdds_data();
    void shouldWaitForRepliesAsLongAsTheLinkAdds();
    void shouldLetGoOfABlockNeverCompleted_data();
    void shouldLetGoOfABlockNeverCompleted();
    void shouldRefuseTheNinthClient();
    void shouldAnswerOnlyFreshReadsFromTheStore_data();
    void shouldAnswerOnlyFreshReadsFromTheStore();
    void shouldShareAReadAlreadyOnTheWireInTheSameTurn_data();
    void shouldShareAReadAlreadyOnTheWireInTheSameTurn();
    void shouldServeOnlyWhatTheStoreAnswersWithoutTheWire_data();
    void shouldServeOnlyWhatTheStoreAnswersWithoutTheWire();
    void shouldLeaveNothingOfADroppedReplyToTheNextExchange_data();
    void shouldLeaveNothingOfADroppedReplyToTheNextExchange();
    void shouldForgetStoredRepliesWhenTheRadioChanges_data();
    void shouldForgetStoredRepliesWhenTheRadioChanges();
    void shouldTellOfEveryBlockOnceInOrder_data();
    void shouldTellOfEveryBlockOnceInOrder();
};

void tst_Share::shouldPutWholeBlocksOnTheWireAndReplyOnlyToTheAsker_data() {
    QTest::addColumn<QByteArray>("fromA");
    QTest::addColumn<QByteArray>("fromB");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("toA");
    QTest::addColumn<QByteArray>("toB");
    QTest::addColumn<bool>("aLeaves"); // A disconnects right after sending
    QTest::newRow("main status") << kAskMain << QByteArray() << kAskMain << radioReply(kAskMain)
                                 << QByteArray() << false;
    QTest::newRow("both records") << kAskBoth << QByteArray() << kAskBoth << radioReply(kAskBoth)
                                  << QByteArray() << false;
    QTest::newRow("flags and meter, one each")
        << kFlags << kMeter << kFlags + kMeter << radioReply(kFlags) << radioReply(kMeter) << false;
    QTest::newRow("two clients asking for records") << kAskBoth << kAskMain << kAskBoth + kAskMain
                                                    << radioReply(kAskBoth) << radioReply(kAskMain) << false;
    QTest::newRow("a set command, then a read")
        << kSetFreqA + kAskMain << QByteArray() << kSetFreqA + kAskMain << radioReply(kSetFreqA + kAskMain)
        << QByteArray() << false;
    // Hamlib repeats a request it gave up on; the first one's reply would answer the second.
    QTest::newRow("a read superseded by the next")
        << kFlags + kAskMain << QByteArray() << kAskMain << radioReply(kAskMain) << QByteArray() << false;
    QTest::newRow("half a block waits for the rest")
        << kAskMain.left(3) << kFlags << kFlags << QByteArray() << radioReply(kFlags) << false;
    QTest::newRow("junk never reaches the wire") << QByteArray("\x55\x66\x77\x88\x99\x11\x22", 7) << kAskBoth
                                                 << kAskBoth << QByteArray() << radioReply(kAskBoth) << false;
    QTest::newRow("pacing off is passed on")
        << hex("000000000e") << QByteArray() << hex("000000000e") << QByteArray() << QByteArray() << false;
    QTest::newRow("pacing on is not") << hex("000000050e") + kFlags << QByteArray() << kFlags
                                      << radioReply(kFlags) << QByteArray() << false;
    QTest::newRow("a client that sets and leaves at once")
        << kSetFreqA + kAskMain << QByteArray() << kSetFreqA << QByteArray() << QByteArray() << true;
    QByteArray flood;
    for (int i = 0; i < 100; ++i)
        flood += kSetFreqA;
    // B's turn comes right after A's first block, not behind A's whole queue.
    QTest::newRow("a flood is cut to the queue's length")
        << flood << kAskMain << kSetFreqA + kAskMain + kSetFreqA.repeated(int(ShareHub::kMaxQueued) - 1)
        << QByteArray() << radioReply(kAskMain) << false;
    const QByteArray setA1 = hex("005042010a"), setA2 = hex("006042010a");
    const QByteArray setB1 = hex("005042018a"), setB2 = hex("006042018a");
    QTest::newRow("two clients' blocks take turns")
        << setA1 + setA2 << setB1 + setB2 << setA1 + setB1 + setA2 + setB2 << QByteArray() << QByteArray()
        << false;
}

void tst_Share::shouldPutWholeBlocksOnTheWireAndReplyOnlyToTheAsker() {
    QFETCH(QByteArray, fromA);
    QFETCH(QByteArray, fromB);
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, toA);
    QFETCH(QByteArray, toB);
    QFETCH(bool, aLeaves);
    Station s;
    s.a.sendAt(0ms, fromA);
    s.b.sendAt(0ms, fromB);
    if (aLeaves) {
        // A socket reports its end again when asked for its last bytes (as Windows does).
        s.a.whileTaking = [&] { s.hub.removeClient(&s.a); };
        s.hub.removeClient(&s.a);
    }
    s.serveAll();
    // The blocks in the order they left: the clients take turns, one block each, A first (it
    // came first), and no block is cut, doubled or invented.
    QCOMPARE(s.line.wire().toHex(' '), wire.toHex(' '));
    QCOMPARE(s.a.received.toHex(' '), toA.toHex(' '));
    QCOMPARE(s.b.received.toHex(' '), toB.toHex(' '));
}

// A reply that cannot reach its client whole and while it still waits is dropped, and the next
// request of that client is answered correctly (no shift).
void tst_Share::shouldNeverDeliverAReplyLateOrIncomplete_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<int>("sendAgainMs"); // the client's next request, or -1
    QTest::addColumn<bool>("firstDelivered");
    QTest::newRow("in time") << int(RadioFault::None) << 0 << -1 << true;
    QTest::newRow("late beyond the client's patience") << int(RadioFault::LateReply) << 400 << -1 << false;
    QTest::newRow("client asks again meanwhile") << int(RadioFault::LateReply) << 150 << 100 << false;
    QTest::newRow("cut short") << int(RadioFault::ShortReply) << 0 << -1 << false;
    QTest::newRow("with bytes after it") << int(RadioFault::LongReply) << 0 << -1 << false;
    QTest::newRow("unplugged") << int(RadioFault::Unplugged) << 0 << -1 << false;
}

void tst_Share::shouldNeverDeliverAReplyLateOrIncomplete() {
    QFETCH(int, fault);
    QFETCH(int, lateMs);
    QFETCH(int, sendAgainMs);
    QFETCH(bool, firstDelivered);
    Station s;
    s.radio.setFault(RadioFault(fault));
    s.radio.setLateDelay(std::chrono::milliseconds(lateMs));
    s.a.sendAt(0ms, kAskBoth);
    if (sendAgainMs >= 0)
        s.a.sendAt(std::chrono::milliseconds(sendAgainMs), kFlags);
    s.b.sendAt(0ms, kFlags);
    // A's turn, then B's.
    s.hub.serveNext();
    s.hub.serveNext();
    QCOMPARE(s.a.received.size() == 32, firstDelivered);
    if (!firstDelivered)
        QVERIFY2(s.a.received.isEmpty(), qPrintable(s.a.received.toHex(' ')));
    if (fault == int(RadioFault::Unplugged))
        return;
    // The radio behaves again: the next requests are answered, each by its own reply.
    s.radio.setFault(RadioFault::None);
    s.a.received.clear();
    s.b.received.clear();
    s.clock.advance(1s);
    s.a.sendAt(0ms, kAskMain);
    s.b.sendAt(0ms, kFlags);
    s.serveAll();
    QCOMPARE(s.a.received.toHex(' '), radioReply(kAskMain).toHex(' '));
    QCOMPARE(s.b.received.toHex(' '), radioReply(kFlags).toHex(' '));
}

// A radio shared from behind a serial server: every reply comes later by the network's round
// trip, which the line has learned; the hub gives each reply that much longer.
void tst_Share::shouldWaitForRepliesAsLongAsTheLinkAdds_data() {
    QTest::addColumn<QByteArray>("ask");
    QTest::addColumn<int>("roundTripMs");
    for (int rtt : {200, 300}) {
        QTest::newRow(qPrintable(QStringLiteral("flags, %1 ms").arg(rtt))) << kFlags << rtt;
        QTest::newRow(qPrintable(QStringLiteral("main record, %1 ms").arg(rtt))) << kAskMain << rtt;
        QTest::newRow(qPrintable(QStringLiteral("both records, %1 ms").arg(rtt))) << kAskBoth << rtt;
    }
}

void tst_Share::shouldWaitForRepliesAsLongAsTheLinkAdds() {
    QFETCH(QByteArray, ask);
    QFETCH(int, roundTripMs);
    Station s;
    const auto roundTrip = std::chrono::milliseconds(roundTripMs);
    s.radio.setLatency(s.radio.latency() + roundTrip);
    s.hubLine.link.emplace();
    s.hubLine.link->replied(roundTrip + 40ms); // as the window's records taught it
    s.a.sendAt(0ms, ask);
    s.b.sendAt(0ms, kFlags);
    s.serveAll();
    QCOMPARE(s.a.received.toHex(' '), radioReply(ask).toHex(' '));
    QCOMPARE(s.b.received.toHex(' '), radioReply(kFlags).toHex(' '));
}

// The pseudo-terminal is one client for every program that opens it in turn: what one left of a
// block must not become the start of the next one's, or all its blocks would be junk.
void tst_Share::shouldLetGoOfABlockNeverCompleted_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<int>("laterMs");
    QTest::addColumn<QByteArray>("later");
    for (int n = 1; n <= 4; ++n)
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes left, then a read").arg(n)))
            << QByteArray(n, '\x11') << 600 << kSetFreqA + kAskMain;
    // A block that comes in two pieces is still one block.
    QTest::newRow("a block in two pieces") << kSetFreqA.left(3) << 100 << kSetFreqA.mid(3) + kAskMain;
}

void tst_Share::shouldLetGoOfABlockNeverCompleted() {
    QFETCH(QByteArray, first);
    QFETCH(int, laterMs);
    QFETCH(QByteArray, later);
    Station s;
    s.a.sendAt(0ms, first);
    s.a.sendAt(std::chrono::milliseconds(laterMs), later);
    for (int turn = 0; turn < 150; ++turn) {
        s.hub.serveNext();
        s.clock.advance(10ms);
    }
    QCOMPARE(s.line.wire().toHex(' '), (kSetFreqA + kAskMain).toHex(' '));
    QCOMPARE(s.a.received.toHex(' '), radioReply(kSetFreqA + kAskMain).toHex(' '));
}

// A client's read whose reply comes late and slowly is dropped at the hub's deadline, part of it
// still on the wire. The radio then answers the next request behind it: its tail and the start
// of that record would together make one record's length, a record with every offset wrong.
// (While the radio is shared, the window's waits end on the whole record.)
enum class Next { WindowRecord, Client };

void tst_Share::shouldLeaveNothingOfADroppedReplyToTheNextExchange_data() {
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<int>("pacingMs");
    QTest::addColumn<int>("chunkMs");
    QTest::addColumn<int>("next");
    const auto row = [](const char *what, int late, int pacing, int chunk, Next next) {
        QTest::newRow(qPrintable(QStringLiteral("%1, %2 ms late, paced %3 ms, chunks %4 ms")
                                     .arg(QLatin1String(what))
                                     .arg(late)
                                     .arg(pacing)
                                     .arg(chunk)))
            << late << pacing << chunk << int(next);
    };
    for (int late : {200, 240}) {
        row("the window's record", late, 5, 0, Next::WindowRecord);
        row("another client's record", late, 5, 0, Next::Client);
    }
    row("another client's record", 200, 8, 0, Next::Client);
    row("the window's record", 240, 7, 16, Next::WindowRecord);
}

void tst_Share::shouldLeaveNothingOfADroppedReplyToTheNextExchange() {
    QFETCH(int, lateMs);
    QFETCH(int, pacingMs);
    QFETCH(int, chunkMs);
    QFETCH(int, next);
    Station s;
    s.line.setChunkPeriod(std::chrono::milliseconds(chunkMs));
    s.radio.setSubFilterByte(0x44);
    s.radio.setFault(RadioFault::LateReply);
    s.radio.setLateDelay(std::chrono::milliseconds(lateMs));
    s.radio.setPacing(std::chrono::milliseconds(pacingMs));
    s.a.sendAt(0ms, kAskBoth);
    QVERIFY(s.hub.serveNext());
    QVERIFY2(s.a.received.isEmpty(), "the late reply is dropped");
    s.radio.setFault(RadioFault::None);
    s.radio.setPacing(0ms);
    QByteArray got;
    if (Next(next) == Next::Client) {
        s.b.sendAt(0ms, kAskMain);
        QVERIFY(s.hub.serveNext());
        got = s.b.received;
    } else {
        ReplyWait wait(s.clock);
        exchangeMainStatus(s.hubLine, wait, got, ReplyEnd::OnWholeRecord);
    }
    // The line was quiet again before the request: the record is read, and read whole.
    QCOMPARE(got.toHex(' '), s.radio.mainRecord().toHex(' '));
}

void tst_Share::shouldRefuseTheNinthClient() {
    ManualClock clock;
    SimSerialLine line(clock);
    ShareHub hub(line, clock);
    std::vector<std::unique_ptr<FakeClient>> clients;
    for (int i = 0; i <= ShareHub::kMaxClients; ++i)
        clients.push_back(std::make_unique<FakeClient>(QString::number(i), clock));
    for (int i = 0; i < ShareHub::kMaxClients; ++i)
        QVERIFY(hub.addClient(clients[i].get()));
    QVERIFY(!hub.addClient(clients.back().get()));
    // One leaves: a place is free again.
    hub.removeClient(clients.front().get());
    QVERIFY(hub.addClient(clients.back().get()));
    QCOMPARE(hub.clientCount(), ShareHub::kMaxClients);
}

// A read is answered from the store only with what the radio itself sent for that very request,
// younger than the store's age limit and read after the last set; otherwise it goes to the radio.
void tst_Share::shouldAnswerOnlyFreshReadsFromTheStore_data() {
    QTest::addColumn<QByteArray>("fromA");
    QTest::addColumn<int>("bAfterMs"); // when B sends its block
    QTest::addColumn<QByteArray>("fromB");
    QTest::addColumn<QByteArray>("wire");
    const int young = int(ReplyStore::kMaxAge.count()) / 5;
    const int old = int(ReplyStore::kMaxAge.count()) + 100;
    QTest::newRow("the same records, young") << kAskBoth << young << kAskBoth << kAskBoth;
    QTest::newRow("the same records, too old") << kAskBoth << old << kAskBoth << kAskBoth + kAskBoth;
    QTest::newRow("flags, young") << kFlags << young << kFlags << kFlags;
    QTest::newRow("a set in between")
        << kAskBoth << young << kSetFreqA + kAskBoth << kAskBoth + kSetFreqA + kAskBoth;
    QTest::newRow("the meter is read afresh") << kMeter << young << kMeter << kMeter + kMeter;
    QTest::newRow("another record") << kAskMain << young << kAskBoth << kAskMain + kAskBoth;
}

void tst_Share::shouldAnswerOnlyFreshReadsFromTheStore() {
    QFETCH(QByteArray, fromA);
    QFETCH(int, bAfterMs);
    QFETCH(QByteArray, fromB);
    QFETCH(QByteArray, wire);
    Station s;
    s.a.sendAt(0ms, fromA);
    s.b.sendAt(std::chrono::milliseconds(bAfterMs), fromB);
    s.serveAll();
    for (int turn = 0; turn < 100 && s.b.received.isEmpty(); ++turn) {
        s.clock.advance(10ms);
        s.hub.serveNext();
    }
    QCOMPARE(s.line.wire().toHex(' '), wire.toHex(' '));
    // B's answer is the radio's answer to everything on the wire before it, byte for byte.
    QCOMPARE(s.b.received.toHex(' '), radioReply(wire).right(radioReply(fromB).size()).toHex(' '));
}

void tst_Share::shouldForgetStoredRepliesWhenTheRadioChanges_data() {
    QTest::addColumn<QByteArray>("sent"); // by B, before A reads the stored main record
    QTest::addColumn<bool>("stale");
    // A filter select changes the very record a program reads to learn the filters.
    QTest::newRow("a filter select") << hex("020000038c") << true;
    QTest::newRow("a frequency") << kSetFreqA << true;
    QTest::newRow("a meter read") << kMeter << false;
    QTest::newRow("a flags read") << kFlags << false;
    QTest::newRow("a status read") << kAskBoth << false;
}

// A stored record read before the radio changed would tell A of the radio as it was.
void tst_Share::shouldForgetStoredRepliesWhenTheRadioChanges() {
    QFETCH(QByteArray, sent);
    QFETCH(bool, stale);
    Station s;
    CommandBlock ask;
    std::copy_n(kAskMain.begin(), 5, ask.begin());
    s.store->put(ask, radioReply(kAskMain), s.clock.now());
    QVERIFY(s.store->fresh(ask, s.clock.now()));
    s.b.sendAt(0ms, sent);
    s.a.sendAt(10ms, kAskMain);
    s.serveAll();
    QCOMPARE(s.line.wire().toHex(' '), (stale ? sent + kAskMain : sent).toHex(' '));
    QCOMPARE(s.a.received.size(), 16);
}

// A client answering its program only once its blocks are done with hears of each exactly once:
// the reply, or what became of it; those served in the order it sent them.
void tst_Share::shouldTellOfEveryBlockOnceInOrder_data() {
    QTest::addColumn<QByteArray>("fromA");
    QTest::addColumn<bool>("keepFilters");
    QTest::addColumn<bool>("lineClosed");
    QTest::addColumn<QStringList>("fates");
    QTest::addColumn<QByteArray>("wire");
    const QByteArray narrow = hex("010000028c");
    QTest::newRow("a set, then a read") << kSetFreqA + kFlags << false << false
                                        << QStringList{"005042010a onwire", "reply"} << kSetFreqA + kFlags;
    QTest::newRow("a filter select goes on by default")
        << narrow << false << false << QStringList{"010000028c onwire"} << narrow;
    QTest::newRow("filters kept: the select held back, the mode still set")
        << hex("000000030c") + narrow << true << false << QStringList{"010000028c kept", "000000030c onwire"}
        << hex("000000030c");
    QTest::newRow("pacing on") << hex("000000050e") << false << false << QStringList{"000000050e dropped"}
                               << QByteArray();
    QTest::newRow("no radio command, after one") << kFlags + hex("00000000ff") << false << false
                                                 << QStringList{"00000000ff dropped", "reply"} << kFlags;
    QTest::newRow("a read superseded")
        << kFlags + kMeter << false << false << QStringList{"00000000fa dropped", "reply"} << kMeter;
    QTest::newRow("the line closed") << kSetFreqA + kFlags << false << true
                                     << QStringList{"005042010a notsent", "00000000fa notsent"}
                                     << QByteArray();
    QStringList flood;
    for (int i = 0; i < 4; ++i)
        flood << QStringLiteral("005042010a dropped");
    for (int i = 0; i < int(ShareHub::kMaxQueued); ++i)
        flood << QStringLiteral("005042010a onwire");
    QTest::newRow("a flood: the oldest let go")
        << kSetFreqA.repeated(int(ShareHub::kMaxQueued) + 4) << false << false << flood
        << kSetFreqA.repeated(int(ShareHub::kMaxQueued));
}

void tst_Share::shouldTellOfEveryBlockOnceInOrder() {
    QFETCH(QByteArray, fromA);
    QFETCH(bool, keepFilters);
    QFETCH(bool, lineClosed);
    QFETCH(QStringList, fates);
    QFETCH(QByteArray, wire);
    Station s;
    s.hub.setKeepFilters(keepFilters);
    if (lineClosed)
        s.line.ClosePort();
    s.a.sendAt(0ms, fromA);
    s.serveAll();
    QCOMPARE(s.a.fates, fates);
    QCOMPARE(s.line.wire().toHex(' '), wire.toHex(' '));
}

QTEST_GUILESS_MAIN(tst_Share)
#include "tst_share.moc"

// B asks while A's read is on the wire: the same read is answered by A's reply as soon as it is
// in, not a turn later (which may be behind both of the window's status requests).
void tst_Share::shouldShareAReadAlreadyOnTheWireInTheSameTurn_data() {
    QTest::addColumn<QByteArray>("fromB"); // sent 20 ms into A's read of both records
    QTest::addColumn<bool>("bAnswered");   // in the same turn
    QTest::newRow("the same read") << kAskBoth << true;
    QTest::newRow("another read") << kAskMain << false;
    QTest::newRow("a set, then the same read") << kSetFreqA + kAskBoth << false;
}

void tst_Share::shouldShareAReadAlreadyOnTheWireInTheSameTurn() {
    QFETCH(QByteArray, fromB);
    QFETCH(bool, bAnswered);
    Station s;
    s.a.sendAt(0ms, kAskBoth);
    s.b.sendAt(20ms, fromB);
    QVERIFY(s.hub.serveNext());
    QCOMPARE(s.line.wire().toHex(' '), kAskBoth.toHex(' '));
    QCOMPARE(s.a.received.toHex(' '), radioReply(kAskBoth).toHex(' '));
    QCOMPARE(s.b.received.toHex(' '), (bAnswered ? s.a.received : QByteArray()).toHex(' '));
    // What was not answered goes on the wire in its turn, in order.
    s.serveAll();
    QCOMPARE(s.line.wire().toHex(' '), (bAnswered ? kAskBoth : kAskBoth + fromB).toHex(' '));
    QCOMPARE(s.b.received.toHex(' '), radioReply(s.line.wire()).right(radioReply(fromB).size()).toHex(' '));
}

// After one of the window's own exchanges the hub answers what that reply made fresh, and puts
// nothing on the wire: the window's next request follows without a pause.
void tst_Share::shouldServeOnlyWhatTheStoreAnswersWithoutTheWire_data() {
    QTest::addColumn<QByteArray>("fromB");
    QTest::addColumn<int>("answered"); // reads answered from the store
    QTest::newRow("a fresh read") << kAskBoth << 1;
    QTest::newRow("a fresh read, then a read not in the store") << kAskBoth + kFlags << 1;
    QTest::newRow("a set first") << kSetFreqA + kAskBoth << 0;
}

void tst_Share::shouldServeOnlyWhatTheStoreAnswersWithoutTheWire() {
    QFETCH(QByteArray, fromB);
    QFETCH(int, answered);
    Station s;
    const QByteArray both = radioReply(kAskBoth);
    s.store->put(statusBlock(kStatusMainAndSub), both, s.clock.now());
    // Sent in two pieces: a client's read superseded by the next is dropped, not answered.
    s.b.sendAt(0ms, fromB.left(5));
    QCOMPARE(s.hub.serveNext(ShareHub::Wire::No), answered > 0);
    s.b.sendAt(0ms, fromB.mid(5));
    s.hub.serveNext(ShareHub::Wire::No);
    QCOMPARE(s.line.wire(), QByteArray());
    QCOMPARE(s.b.received.toHex(' '), both.repeated(answered).toHex(' '));
    QCOMPARE(s.hub.counts().fromStore, answered);
    // The rest waits for a turn with the wire.
    s.serveAll();
    QCOMPARE(s.line.wire().size(), fromB.size() - 5 * answered);
}

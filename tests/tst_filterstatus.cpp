// SPDX-License-Identifier: GPL-3.0-or-later
// Status exchanges with the radio: what goes on the wire, what lands in RxData, and that late
// or stray input never lights a filter the radio did not report.
#include "filters/filterstatus.h"
#include "filters/lamps.h"
#include "radio/commandblock.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"
#include "sim/virtualradio.h"

#include <QTest>

using namespace quillon;
using namespace quillon::sim;
using namespace std::chrono_literals;

namespace {

struct Bench {
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line{clock};
    ReplyWait wait{clock};
    QByteArray RxData;

    Bench() {
        line.attachRadio(1, &radio);
        line.Configure(1);
        line.OpenPort();
        line.clearCalls();
    }
};

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

} // namespace

class tst_FilterStatus : public QObject {
    Q_OBJECT

private slots:
    void shouldWriteEachRequestByteByByteThenWaitAndRead_data();
    void shouldWriteEachRequestByteByByteThenWaitAndRead();
    void shouldDropInputThatWaitedBeforeTheRequest_data();
    void shouldDropInputThatWaitedBeforeTheRequest();
    void shouldReadSlowRepliesToTheirEnd_data();
    void shouldReadSlowRepliesToTheirEnd();
    void shouldUseAReplyOnlyWhole_data();
    void shouldUseAReplyOnlyWhole();
    void shouldNeverLightAFilterTheRadioDidNotReport_data();
    void shouldNeverLightAFilterTheRadioDidNotReport();
    void shouldKeepTheOldReplyWhenTheLineFails();
    void shouldUseNothingFromASilentRadio();
    void shouldSendFilterSelectAsOneWrite_data();
    void shouldSendFilterSelectAsOneWrite();
};

void tst_FilterStatus::shouldWriteEachRequestByteByByteThenWaitAndRead_data() {
    QTest::addColumn<bool>("sub");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("replyLength");
    QTest::newRow("main") << false << bytes({0, 0, 0, 2, 0x10}) << 150 << 16;
    QTest::newRow("main and sub") << true << bytes({0, 0, 0, 3, 0x10}) << 200 << 32;
}

void tst_FilterStatus::shouldWriteEachRequestByteByByteThenWaitAndRead() {
    QFETCH(bool, sub);
    QFETCH(QByteArray, request);
    QFETCH(int, delayMs);
    QFETCH(int, replyLength);
    Bench b;
    b.radio.setMainFilterByte(0x12);
    b.radio.setSubFilterByte(0x44);
    const auto start = b.clock.now();
    sub ? exchangeSubStatus(b.line, b.wait, b.RxData) : exchangeMainStatus(b.line, b.wait, b.RxData);

    const std::vector<QByteArray> writes = b.line.writes();
    QCOMPARE(writes.size(), std::size_t(5));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(writes[static_cast<std::size_t>(i)], request.mid(i, 1));
    QVERIFY(b.clock.now() - start >= std::chrono::milliseconds(delayMs));
    QCOMPARE(b.RxData.size(), replyLength);
    QCOMPARE(b.RxData, sub ? b.radio.mainRecord() + b.radio.subRecord() : b.radio.mainRecord());
    QCOMPARE(static_cast<quint8>(b.RxData[8]), quint8(0x12));
    if (sub)
        QCOMPARE(static_cast<quint8>(b.RxData[24]), quint8(0x44));
}

void tst_FilterStatus::shouldDropInputThatWaitedBeforeTheRequest_data() {
    QTest::addColumn<QByteArray>("stray");
    QTest::addColumn<int>("arrivesMsBefore");
    QTest::newRow("one byte") << bytes({0x44}) << 100;
    QTest::newRow("tail of an old reply") << QByteArray(10, '\x33') << 50;
    QTest::newRow("still arriving when asked") << QByteArray(20, '\x22') << 1;
}

void tst_FilterStatus::shouldDropInputThatWaitedBeforeTheRequest() {
    QFETCH(QByteArray, stray);
    QFETCH(int, arrivesMsBefore);
    Bench b;
    b.radio.setMainFilterByte(0x80);
    // Stray bytes trickle in at the wire's pace, the last one shortly before the request.
    b.clock.advance(1s);
    const auto last = b.clock.now() - std::chrono::milliseconds(arrivesMsBefore);
    for (qsizetype i = 0; i < stray.size(); ++i)
        b.line.injectInput(stray.mid(i, 1), last - VirtualRadio::kByteTime * (stray.size() - 1 - i));
    // ...and a few more still on the way when the request goes out.
    if (arrivesMsBefore == 1)
        b.line.injectInput(bytes({0x22, 0x22}), b.clock.now() + 2ms);
    exchangeMainStatus(b.line, b.wait, b.RxData);
    QCOMPARE(b.RxData, b.radio.mainRecord());
    const MainLamps lamps = decodeMainReply(b.RxData);
    QCOMPARE(lamps.hi, std::optional(FilterId::Hi_Thru));
    QCOMPARE(lamps.lo, std::optional(FilterId::Lo_6000));
}

// The radio paces its replies (a pause after every byte) and a USB adapter hands input over
// in 16 ms chunks: replies outlast the fixed wait, and are read to their end.
void tst_FilterStatus::shouldReadSlowRepliesToTheirEnd_data() {
    QTest::addColumn<int>("pacingMs");
    QTest::addColumn<int>("chunkMs");
    for (int pacing : {0, 3, 5, 8, 12})
        QTest::newRow(qPrintable(QStringLiteral("pacing %1 ms").arg(pacing))) << pacing << 0;
    QTest::newRow("16 ms chunks") << 0 << 16;
    QTest::newRow("pacing 12 ms, 16 ms chunks") << 12 << 16;
}

void tst_FilterStatus::shouldReadSlowRepliesToTheirEnd() {
    QFETCH(int, pacingMs);
    QFETCH(int, chunkMs);
    Bench b;
    b.radio.setPacing(std::chrono::milliseconds(pacingMs));
    b.line.setChunkPeriod(std::chrono::milliseconds(chunkMs));
    // Each poll the knobs stand elsewhere, so a stale record shows as a wrong lamp.
    const quint8 mains[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x94};
    const quint8 subs[] = {0x11, 0x33, 0x00};
    auto tick = b.clock.now();
    for (int poll = 0; poll < 6; ++poll) {
        b.radio.setMainFilterByte(mains[poll]);
        b.radio.setSubFilterByte(subs[poll % 3]);
        exchangeMainStatus(b.line, b.wait, b.RxData);
        QCOMPARE(b.RxData, b.radio.mainRecord());
        exchangeSubStatus(b.line, b.wait, b.RxData);
        QCOMPARE(b.RxData, b.radio.mainRecord() + b.radio.subRecord());
        tick += 500ms;
        b.clock.sleepUntil(std::max(tick, b.clock.now()));
    }
}

// A reply is used only when it is exactly one record, whether it came in time or slowly: one
// that lost a byte on the line or stopped short has every later offset wrong, and an echo in
// front would shift them all. The next whole reply is used again.
void tst_FilterStatus::shouldUseAReplyOnlyWhole_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("a"); // short length (main; sub gets 16 more), or lead padding
    QTest::addColumn<int>("trail");
    QTest::addColumn<int>("pacingMs"); // 0: the whole reply is in within the wait
    for (int pacing : {0, 12}) {
        const QString how = pacing ? QStringLiteral(", paced") : QStringLiteral(", in time");
        for (int n : {1, 8, 9, 12, 15})
            QTest::newRow(qPrintable(QStringLiteral("main %1, sub %2 bytes%3").arg(n).arg(n + 16).arg(how)))
                << int(RadioFault::ShortReply) << n << 0 << pacing;
        QTest::newRow(qPrintable(QStringLiteral("an echo in front") + how))
            << int(RadioFault::LongReply) << 5 << 0 << pacing;
        QTest::newRow(qPrintable(QStringLiteral("1 byte after the record") + how))
            << int(RadioFault::LongReply) << 0 << 1 << pacing;
    }
}

void tst_FilterStatus::shouldUseAReplyOnlyWhole() {
    QFETCH(int, fault);
    QFETCH(int, a);
    QFETCH(int, trail);
    QFETCH(int, pacingMs);
    for (int chunkMs : {0, 16}) {
        for (ReplyEnd end : {ReplyEnd::AfterWait, ReplyEnd::OnWholeRecord}) {
            Bench b;
            b.radio.setPacing(std::chrono::milliseconds(pacingMs));
            b.line.setChunkPeriod(std::chrono::milliseconds(chunkMs));
            b.radio.setLongReplyPadding(a, trail, 0x44);
            for (bool sub : {false, true}) {
                const auto exchange = [&] {
                    (sub ? exchangeSubStatus : exchangeMainStatus)(b.line, b.wait, b.RxData, end);
                };
                const QString where =
                    QStringLiteral("chunks %1 ms, %2%3")
                        .arg(chunkMs)
                        .arg(sub ? "sub" : "main")
                        .arg(end == ReplyEnd::OnWholeRecord ? ", ending on the record" : "");
                b.radio.setFault(RadioFault(fault));
                b.radio.setShortReplyLength(sub ? a + 16 : a);
                b.RxData = "old";
                exchange();
                QVERIFY2(b.RxData.isEmpty(), qPrintable(where + QStringLiteral(": used ") +
                                                        QString::fromLatin1(b.RxData.toHex(' '))));
                b.clock.advance(1s);
                b.radio.setFault(RadioFault::None);
                exchange();
                const QByteArray record =
                    sub ? b.radio.mainRecord() + b.radio.subRecord() : b.radio.mainRecord();
                QVERIFY2(b.RxData == record,
                         qPrintable(where + QStringLiteral(": the next whole reply not used")));
                b.clock.advance(1s);
            }
        }
    }
}

void tst_FilterStatus::shouldNeverLightAFilterTheRadioDidNotReport_data() {
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<int>("pacingMs");
    // 0: replies on time. The others arrive after the wait, around the next request.
    for (int ms : {0, 100, 140, 150, 155, 160, 170, 180, 190, 200, 210, 260, 330, 400, 700})
        QTest::newRow(qPrintable(QStringLiteral("reply after %1 ms").arg(ms))) << ms << 0;
    // Late and paced: replies overlap the next requests' waits.
    for (int ms : {60, 100, 150, 200, 330})
        QTest::newRow(qPrintable(QStringLiteral("reply after %1 ms, paced 8 ms").arg(ms))) << ms << 8;
}

void tst_FilterStatus::shouldNeverLightAFilterTheRadioDidNotReport() {
    QFETCH(int, lateMs);
    QFETCH(int, pacingMs);
    Bench b;
    b.radio.setPacing(std::chrono::milliseconds(pacingMs));
    // Main 0x00 read at the sub offset would light the sub 6.0K lamp; sub 0x33 is 500.
    b.radio.setMainFilterByte(0x00);
    b.radio.setSubFilterByte(0x33);
    if (lateMs > 0) {
        b.radio.setFault(RadioFault::LateReply);
        b.radio.setLateDelay(std::chrono::milliseconds(lateMs));
    }
    int mainDecodes = 0, subDecodes = 0;
    auto tick = b.clock.now();
    for (int poll = 0; poll < 12; ++poll) {
        exchangeMainStatus(b.line, b.wait, b.RxData);
        const MainLamps main = decodeMainReply(b.RxData);
        if (main.decoded) {
            ++mainDecodes;
            QVERIFY2(!main.hi || *main.hi == FilterId::Hi_Thru, "wrong 8.215 MHz lamp");
            QVERIFY2(!main.lo || *main.lo == FilterId::Lo_6000, "wrong 455 kHz lamp");
        }
        exchangeSubStatus(b.line, b.wait, b.RxData);
        const SubLamps sub = decodeSubReply(b.RxData);
        if (sub.decoded) {
            ++subDecodes;
            QVERIFY2(!sub.lit || *sub.lit == FilterId::Sub500,
                     qPrintable(QStringLiteral("wrong sub lamp at poll %1").arg(poll)));
        }
        tick += 500ms;
        if (b.clock.now() < tick)
            b.clock.sleepUntil(tick);
    }
    if (lateMs == 0) {
        // On time, every poll is decoded: the check above is not vacuous.
        QCOMPARE(mainDecodes, 12);
        QCOMPARE(subDecodes, 12);
    }
}

void tst_FilterStatus::shouldKeepTheOldReplyWhenTheLineFails() {
    Bench b;
    exchangeMainStatus(b.line, b.wait, b.RxData);
    const QByteArray good = b.RxData;
    QCOMPARE(good.size(), 16);
    b.line.unplug();
    const auto start = b.clock.now();
    exchangeSubStatus(b.line, b.wait, b.RxData);
    QCOMPARE(b.RxData, good);
    QVERIFY2(b.clock.now() - start >= 200ms, "the wait happens even when the write fails");
}

void tst_FilterStatus::shouldUseNothingFromASilentRadio() {
    Bench b;
    b.RxData = QByteArray(16, '\x12');
    b.radio.setFault(RadioFault::Silent);
    exchangeMainStatus(b.line, b.wait, b.RxData);
    QVERIFY(b.RxData.isEmpty());
    QVERIFY(!decodeMainReply(b.RxData).decoded);
}

void tst_FilterStatus::shouldSendFilterSelectAsOneWrite_data() {
    QTest::addColumn<int>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("455 kHz 500") << 2 << 2 << bytes({2, 0, 0, 2, 0x8C});
    QTest::newRow("455 kHz 250") << 2 << 3 << bytes({2, 0, 0, 3, 0x8C});
    QTest::newRow("sub 6.0K") << 0 << 132 << bytes({0, 0, 0, 0x84, 0x8C});
    QTest::newRow("8.215 THRU") << 1 << 4 << bytes({1, 0, 0, 4, 0x8C});
}

void tst_FilterStatus::shouldSendFilterSelectAsOneWrite() {
    QFETCH(int, path);
    QFETCH(int, code);
    QFETCH(QByteArray, wire);
    Bench b;
    QCOMPARE(SwitchFilters(b.line, path, static_cast<qint16>(code)), LineError::None);
    QCOMPARE(b.line.writes().size(), std::size_t(1));
    QCOMPARE(b.line.writes().front(), wire);
}

QTEST_APPLESS_MAIN(tst_FilterStatus)
#include "tst_filterstatus.moc"

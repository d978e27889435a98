// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual radio and the in-process line: the model every later test stands on.

#include "sim/knobs.h"
#include "sim/manualclock.h"
#include "sim/ptyradioserver.h"
#include "sim/simserialline.h"
#include "sim/virtualradio.h"
#include "testutil.h"

#include <QFile>
#include <QTest>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

using namespace quillon;
using namespace quillon::sim;
using quillon::testing::hex;
using namespace std::chrono_literals;

class tst_Sim : public QObject {
    Q_OBJECT

private slots:
    void shouldFrameBlocksAcrossAnyChunking_data();
    void shouldFrameBlocksAcrossAnyChunking();
    void shouldAnswerRequests_data();
    void shouldAnswerRequests();
    void shouldEncodeFrequencyAsTheRadioDoes_data();
    void shouldEncodeFrequencyAsTheRadioDoes();
    void shouldTakePacingFromItsCatBlock();
    void shouldServeOtherStationSoftware_data();
    void shouldServeOtherStationSoftware();
    void shouldApplyFilterSelect_data();
    void shouldApplyFilterSelect();
    void shouldMisbehaveOnFault_data();
    void shouldMisbehaveOnFault();
    void shouldKeepTakingKnobChangesWhileSilent();
    void shouldListEveryAnswerGivenWithItsRequest();
    void shouldTurnKnobsByName_data();
    void shouldTurnKnobsByName();

    void shouldDeliverReplyAtWirePace_data();
    void shouldDeliverReplyAtWirePace();
    void shouldNotOverlapBackToBackReplies();
    void shouldHearRequestOnlyAfterItsAirTime_data();
    void shouldHearRequestOnlyAfterItsAirTime();
    void shouldAnswerOnPtyOnlyAfterAirTime_data();
    void shouldAnswerOnPtyOnlyAfterAirTime();
    void shouldHandOverInChunksLikeAUsbAdapter();
    void shouldKeepLateBytesThroughClear();
    void shouldOpenOnlyWhatIsThere_data();
    void shouldOpenOnlyWhatIsThere();
    void shouldRefuseReconfigureWhileOpen();
    void shouldFailIoAfterUnplug();
    void shouldDropOverrunBeyondInputBuffer();
    void shouldDropPendingInputOnClose();
};

void tst_Sim::shouldFrameBlocksAcrossAnyChunking_data() {
    QTest::addColumn<int>("chunk");
    for (int n : {1, 2, 3, 4, 5, 6, 7, 11, 15})
        QTest::newRow(qPrintable(QStringLiteral("chunks of %1").arg(n))) << n;
}

void tst_Sim::shouldFrameBlocksAcrossAnyChunking() {
    QFETCH(int, chunk);
    // probe, main status, a filter select, and a dangling half block
    const QByteArray stream = hex("00000000fa 0000000210 020000038c 0000");
    VirtualRadio radio;
    QList<int> replyLengths;
    for (qsizetype i = 0; i < stream.size(); i += chunk)
        for (const SimReply &r : radio.feed(stream.mid(i, chunk)))
            replyLengths.append(int(r.bytes.size()));

    QCOMPARE(radio.received().size(), size_t(3));
    QCOMPARE(radio.received()[0], (CommandBlock{0, 0, 0, 0, 0xFA}));
    QCOMPARE(radio.received()[1], (CommandBlock{0, 0, 0, 2, 0x10}));
    QCOMPARE(radio.received()[2], (CommandBlock{2, 0, 0, 3, 0x8C}));
    QCOMPARE(replyLengths, (QList<int>{5, 16}));
    QCOMPARE(radio.pendingBytes(), 2);
    QCOMPARE(radio.mainFilterByte() & 0x07, 4); // 250 Hz selected in the 455 kHz IF
}

void tst_Sim::shouldAnswerRequests_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected"); // "M" / "S" stand for the main / sub record

    QTest::newRow("probe") << hex("00000000fa") << hex("0220020393");
    QTest::newRow("probe ignores its parameters") << hex("01020304fa") << hex("0220020393");
    QTest::newRow("status main") << hex("0000000210") << QByteArray("M");
    QTest::newRow("status main and sub") << hex("0000000310") << QByteArray("MS");
    QTest::newRow("status 01 not modelled") << hex("0000000110") << QByteArray();
    QTest::newRow("status 04 not modelled") << hex("0000000410") << QByteArray();
    QTest::newRow("filter select has no reply") << hex("010000008c") << QByteArray();
    QTest::newRow("unknown opcode") << hex("0000000002") << QByteArray();
}

void tst_Sim::shouldAnswerRequests() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    VirtualRadio radio;
    radio.setMainFilterByte(0xA3);
    radio.setSubFilterByte(0x33);
    QByteArray want;
    if (expected.startsWith('M')) {
        want = radio.mainRecord();
        if (expected == "MS")
            want += radio.subRecord();
    } else {
        want = expected;
    }

    const std::vector<SimReply> replies = radio.feed(request);
    QCOMPARE(replies.size(), size_t(want.isEmpty() ? 0 : 1));
    if (want.isEmpty())
        return;
    QCOMPARE(replies[0].bytes, want);
    QCOMPARE(replies[0].delay, radio.latency());
    if (want.size() >= 16) {
        QCOMPARE(quint8(want.at(kMainFilterOffset)), quint8(0xA3));
        QCOMPARE(want.size(), expected == "MS" ? 32 : 16);
    }
    if (want.size() == 32)
        QCOMPARE(quint8(want.at(kSubFilterOffset)), quint8(0x33));
}

void tst_Sim::shouldEncodeFrequencyAsTheRadioDoes_data() {
    QTest::addColumn<bool>("sub");
    QTest::addColumn<uint>("hz"); // 0: the radio's default station
    QTest::addColumn<QByteArray>("field");
    // Bytes 1-4 of the record, big-endian, in 0.625 Hz steps; a real Mark V sent 01 5B E8 10.
    QTest::newRow("real Mark V record") << false << 14'250'250u << hex("015be810");
    QTest::newRow("default main 14.250 MHz") << false << 0u << hex("015be680");
    QTest::newRow("default sub 7.050 MHz") << true << 0u << hex("00ac1e80");
    QTest::newRow("sub at 30 MHz") << true << 30'000'000u << hex("02dc6c00");
    QTest::newRow("100 kHz, half steps round") << false << 100'001u << hex("00027102");
}

void tst_Sim::shouldEncodeFrequencyAsTheRadioDoes() {
    QFETCH(bool, sub);
    QFETCH(uint, hz);
    QFETCH(QByteArray, field);
    VirtualRadio radio;
    if (hz && sub)
        radio.setSubFrequency(hz);
    else if (hz)
        radio.setMainFrequency(hz);
    const QByteArray record = sub ? radio.subRecord() : radio.mainRecord();
    QCOMPARE(record.mid(1, 4).toHex(), field.toHex());
    QCOMPARE(quint8(record.at(7)), quint8(sub ? 0x00 : 0x01)); // LSB on sub, USB on main
    QCOMPARE(quint8(record.at(8)), quint8(0x11));              // the filters do not move
}

void tst_Sim::shouldTakePacingFromItsCatBlock() {
    VirtualRadio radio;
    radio.feed(hex("000000080e"));
    QCOMPARE(radio.pacing(), std::chrono::microseconds(8000));
    const std::vector<SimReply> replies = radio.feed(hex("0000000210"));
    QCOMPARE(replies.size(), size_t(1));
    QCOMPARE(replies[0].pacing, std::chrono::microseconds(8000));
    radio.feed(hex("000000000e"));
    QCOMPARE(radio.pacing(), std::chrono::microseconds(0));
}

void tst_Sim::shouldServeOtherStationSoftware_data() {
    QTest::addColumn<QByteArray>("blocks");
    QTest::addColumn<QByteArray>("reply"); // to the last block
    QTest::addColumn<QByteArray>("main");  // main record, bytes 1-8: frequency, clarifier, mode, filter
    QTest::addColumn<QByteArray>("sub");
    QTest::addColumn<int>("flags0"); // first flags byte: 0x01 split, 0x02 sub receiver on, 0x80 transmit

    const QByteArray main0 = hex("015be680 0000 01 11"); // 14.250 MHz USB
    const QByteArray sub0 = hex("00ac1e80 0000 00 11");  // 7.050 MHz LSB
    // Frequency blocks as Hamlib builds them: 10 Hz steps in BCD, least significant byte first.
    QTest::newRow("VFO A 7.074 MHz") << hex("007470000a") << QByteArray() << hex("00acb480 0000 01 11")
                                     << sub0 << 0x02;
    QTest::newRow("VFO B 3.573 MHz") << hex("007335008a") << QByteArray() << main0
                                     << hex("00573b40 0000 00 11") << 0x02;
    QTest::newRow("above 30 MHz ignored") << hex("010000030a") << QByteArray() << main0 << sub0 << 0x02;
    QTest::newRow("non-BCD digit ignored") << hex("0a0050010a") << QByteArray() << main0 << sub0 << 0x02;
    // Mode: number at offset 7, the variant in bit 7 of the filter byte; +0x80 for VFO B.
    QTest::newRow("A CW lower") << hex("000000030c") << QByteArray() << hex("015be680 0000 02 91") << sub0
                                << 0x02;
    QTest::newRow("A packet FM, then LSB")
        << hex("0000000b0c 000000000c") << QByteArray() << hex("015be680 0000 00 11") << sub0 << 0x02;
    QTest::newRow("B RTTY upper") << hex("000000890c") << QByteArray() << main0 << hex("00ac1e80 0000 05 91")
                                  << 0x02;
    QTest::newRow("unknown mode codes ignored")
        << hex("000000070c 0000000c0c 0000008f0c") << QByteArray() << main0 << sub0 << 0x02;
    QTest::newRow("sub filter select keeps B's mode flag")
        << hex("000000830c 000000828c") << QByteArray() << main0 << hex("00ac1e80 0000 02 b3") << 0x02;
    // The status records carry what was set.
    QTest::newRow("status after setting A")
        << hex("007470000a 000000030c 0000000310")
        << hex("0600acb48000000291 00000000000000 0300ac1e8000000011 00000000000000")
        << hex("00acb480 0000 02 91") << sub0 << 0x02;
    // Split and PTT show in the flags.
    QTest::newRow("split on") << hex("0000000101 00000000fa") << hex("0320020393") << main0 << sub0 << 0x03;
    QTest::newRow("transmit") << hex("000000010f 00000000fa") << hex("8220020393") << main0 << sub0 << 0x82;
    QTest::newRow("split 2 is no command")
        << hex("0000000201 000000020f") << QByteArray() << main0 << sub0 << 0x02;
    // Meters: the reading four times, then the opcode.
    QTest::newRow("main S-meter") << hex("00000000f7") << hex("a0a0a0a0f7") << main0 << sub0 << 0x02;
    QTest::newRow("power meter") << hex("80808080f7") << hex("00000000f7") << main0 << sub0 << 0x02;
}

void tst_Sim::shouldServeOtherStationSoftware() {
    QFETCH(QByteArray, blocks);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, main);
    QFETCH(QByteArray, sub);
    QFETCH(int, flags0);
    VirtualRadio radio;
    const std::vector<SimReply> replies = radio.feed(blocks);
    QCOMPARE(replies.size(), size_t(reply.isEmpty() ? 0 : 1));
    if (!replies.empty())
        QCOMPARE(replies[0].bytes.toHex(), reply.toHex());
    QCOMPARE(radio.mainRecord().mid(1, 8).toHex(), main.toHex());
    QCOMPARE(radio.subRecord().mid(1, 8).toHex(), sub.toHex());
    QCOMPARE(int(quint8(radio.feed(toBytes(probeBlock()))[0].bytes.at(0))), flags0);
}

void tst_Sim::shouldApplyFilterSelect_data() {
    QTest::addColumn<int>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("mainBefore");
    QTest::addColumn<int>("mainAfter");
    QTest::addColumn<int>("subAfter"); // sub starts at 0x55, a value no selection gives

    // 8.215 MHz IF, bits 6-4; bit 7 (a mode flag) and the 455 kHz bits stay.
    QTest::newRow("Hi 2.4K") << 1 << 0 << 0x03 << 0x13 << 0x55;
    QTest::newRow("Hi 2.0K") << 1 << 1 << 0x83 << 0xA3 << 0x55;
    QTest::newRow("Hi 500") << 1 << 2 << 0x44 << 0x34 << 0x55;
    QTest::newRow("Hi 250") << 1 << 3 << 0x80 << 0xC0 << 0x55;
    QTest::newRow("Hi THRU") << 1 << 4 << 0xF7 << 0x87 << 0x55;
    // 455 kHz IF, bits 2-0; bit 3 is not a filter bit either.
    QTest::newRow("Lo 2.4K") << 2 << 0 << 0x20 << 0x21 << 0x55;
    QTest::newRow("Lo 2.0K") << 2 << 1 << 0xAC << 0xAA << 0x55;
    QTest::newRow("Lo 500") << 2 << 2 << 0x10 << 0x13 << 0x55;
    QTest::newRow("Lo 250") << 2 << 3 << 0x93 << 0x94 << 0x55;
    QTest::newRow("Lo 6.0K") << 2 << 4 << 0xCF << 0xC8 << 0x55;
    // Sub receiver
    QTest::newRow("Sub 2.4K") << 0 << 128 << 0x42 << 0x42 << 0x11;
    QTest::newRow("Sub 500") << 0 << 130 << 0x42 << 0x42 << 0x33;
    QTest::newRow("Sub 6.0K") << 0 << 132 << 0x42 << 0x42 << 0x00;
    // Codes the radio does not know change nothing.
    QTest::newRow("Hi code 5") << 1 << 5 << 0x42 << 0x42 << 0x55;
    QTest::newRow("Lo code 7") << 2 << 7 << 0x42 << 0x42 << 0x55;
    QTest::newRow("Sub code 129") << 0 << 129 << 0x42 << 0x42 << 0x55;
    QTest::newRow("Sub code 0") << 0 << 0 << 0x42 << 0x42 << 0x55;
    QTest::newRow("path 3") << 3 << 0 << 0x42 << 0x42 << 0x55;
}

void tst_Sim::shouldApplyFilterSelect() {
    QFETCH(int, path);
    QFETCH(int, code);
    QFETCH(int, mainBefore);
    QFETCH(int, mainAfter);
    QFETCH(int, subAfter);
    VirtualRadio radio;
    radio.setMainFilterByte(quint8(mainBefore));
    radio.setSubFilterByte(0x55);
    const QByteArray before = radio.mainRecord() + radio.subRecord();

    QVERIFY(radio.feed(toBytes(filterSelectBlock(path, qint16(code)))).empty());

    QCOMPARE(int(radio.mainFilterByte()), mainAfter);
    QCOMPARE(int(radio.subFilterByte()), subAfter);
    // Nothing but the two filter bytes moves.
    QByteArray after = radio.mainRecord() + radio.subRecord();
    after[kMainFilterOffset] = before[kMainFilterOffset];
    after[kSubFilterOffset] = before[kSubFilterOffset];
    QCOMPARE(after, before);
}

void tst_Sim::shouldMisbehaveOnFault_data() {
    QTest::addColumn<RadioFault>("fault");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected"); // "*" = random bytes
    QTest::addColumn<int>("delayMs");

    QTest::newRow("silent probe") << RadioFault::Silent << hex("00000000fa") << QByteArray() << 0;
    QTest::newRow("silent status") << RadioFault::Silent << hex("0000000310") << QByteArray() << 0;
    QTest::newRow("wrong id") << RadioFault::WrongId << hex("00000000fa") << hex("0220020394") << 5;
    QTest::newRow("short probe") << RadioFault::ShortReply << hex("00000000fa") << hex("02200203") << 5;
    QTest::newRow("short status") << RadioFault::ShortReply << hex("0000000210") << hex("06015be6") << 5;
    QTest::newRow("garbage") << RadioFault::Garbage << hex("00000000fa") << QByteArray("*") << 5;
    QTest::newRow("late") << RadioFault::LateReply << hex("00000000fa") << hex("0220020393") << 300;
    QTest::newRow("unplugged") << RadioFault::Unplugged << hex("00000000fa") << QByteArray() << 0;
    // padded 2 in front, 3 behind, with 0x44 (the default fill is set explicitly by the test)
    QTest::newRow("long probe") << RadioFault::LongReply << hex("00000000fa") << hex("44440220020393444444")
                                << 5;
    QTest::newRow("twice probe") << RadioFault::Repeated << hex("00000000fa") << hex("02200203930220020393")
                                 << 5;
    QTest::newRow("twice filter select") << RadioFault::Repeated << hex("010000008c") << QByteArray() << 0;
}

void tst_Sim::shouldMisbehaveOnFault() {
    QFETCH(RadioFault, fault);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(int, delayMs);
    VirtualRadio radio;
    radio.setFault(fault);
    radio.setLongReplyPadding(2, 3, 0x44);

    const std::vector<SimReply> replies = radio.feed(request);
    if (expected.isEmpty()) {
        QVERIFY(replies.empty());
        QCOMPARE(radio.received().size(), size_t(fault == RadioFault::Unplugged ? 0 : 1));
        return;
    }
    QCOMPARE(replies.size(), size_t(1));
    QCOMPARE(replies[0].delay, std::chrono::microseconds(std::chrono::milliseconds(delayMs)));
    if (expected == "*") {
        QVERIFY(!replies[0].bytes.isEmpty());
        QVERIFY(replies[0].bytes.size() <= 40);
        QVERIFY(replies[0].bytes != hex("0220020393"));
        // A second reply is not a copy of the first.
        QVERIFY(radio.feed(request)[0].bytes != replies[0].bytes);
    } else {
        QCOMPARE(replies[0].bytes, expected);
    }
}

void tst_Sim::shouldKeepTakingKnobChangesWhileSilent() {
    VirtualRadio radio;
    radio.setFault(RadioFault::Silent);
    radio.feed(toBytes(filterSelectBlock(1, 3)));
    radio.setFault(RadioFault::None);
    const std::vector<SimReply> r = radio.feed(toBytes(statusBlock(kStatusMain)));
    QCOMPARE(r.size(), size_t(1));
    QCOMPARE(quint8(r[0].bytes.at(kMainFilterOffset)) & 0x70, 0x40);
}

void tst_Sim::shouldTurnKnobsByName_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("answer"); // empty: refused, and nothing changes

    // From the starting state: 14.250 MHz and 7.050 MHz, 2.4K filters (11, 11).
    QTest::newRow("state") << "state"
                           << "freq 14250000 sub-freq 7050000 main 11 sub 11";
    QTest::newRow("empty line") << ""
                                << "freq 14250000 sub-freq 7050000 main 11 sub 11";
    QTest::newRow("main frequency") << "freq 14074000"
                                    << "freq 14074000 sub-freq 7050000 main 11 sub 11";
    QTest::newRow("sub frequency") << "sub-freq 10136000"
                                   << "freq 14250000 sub-freq 10136000 main 11 sub 11";
    QTest::newRow("both filters") << "main 22 sub 33"
                                  << "freq 14250000 sub-freq 7050000 main 22 sub 33";
    QTest::newRow("several, spaced out") << "  freq 7074000   main 94 sub 0 "
                                         << "freq 7074000 sub-freq 7050000 main 94 sub 00";
    QTest::newRow("lowest") << "freq 100000"
                            << "freq 100000 sub-freq 7050000 main 11 sub 11";
    QTest::newRow("highest") << "sub-freq 30000000"
                             << "freq 14250000 sub-freq 30000000 main 11 sub 11";
    QTest::newRow("above the range") << "freq 30000010" << QString();
    QTest::newRow("below the range") << "sub-freq 99990" << QString();
    QTest::newRow("no number") << "freq 14.074" << QString();
    QTest::newRow("not a byte") << "main 100" << QString();
    QTest::newRow("not hex") << "sub zz" << QString();
    QTest::newRow("no value") << "freq" << QString();
    QTest::newRow("unknown knob after a good one") << "freq 7074000 volume 3" << QString();
}

void tst_Sim::shouldTurnKnobsByName() {
    QFETCH(QString, line);
    QFETCH(QString, answer);
    VirtualRadio radio;
    const QByteArray before = radio.mainRecord() + radio.subRecord();
    const QString said = turnKnobs(radio, line);
    const QByteArray records = radio.feed(hex("0000000310")).at(0).bytes;
    if (answer.isEmpty()) {
        QVERIFY2(said.startsWith(QLatin1String("error: ")), qPrintable(said));
        QCOMPARE(records, before);
        return;
    }
    QCOMPARE(said, answer);
    // What a client reads now: the frequency in 0.625 Hz steps, the filter bytes at offset 8.
    const QStringList words = answer.split(QLatin1Char(' '));
    for (int record = 0; record < 2; ++record) {
        const quint64 hz = words[1 + 2 * record].toULongLong();
        const QByteArray r = records.mid(16 * record, 16);
        QCOMPARE(quint32(quint8(r[1])) << 24 | quint32(quint8(r[2])) << 16 | quint32(quint8(r[3])) << 8 |
                     quint8(r[4]),
                 quint32(hz * 16 / 10));
        QCOMPARE(quint8(r[8]), quint8(words[5 + 2 * record].toUInt(nullptr, 16)));
    }
}

void tst_Sim::shouldListEveryAnswerGivenWithItsRequest() {
    VirtualRadio radio;
    radio.setFault(RadioFault::Garbage);
    radio.feed(hex("00000000fa 0000000210 010000008c"));
    radio.setFault(RadioFault::Silent);
    radio.feed(hex("0000000310"));
    radio.setFault(RadioFault::None);
    const std::vector<SimReply> last = radio.feed(hex("0000000310"));

    // The garbage is listed as it was given; the select and the silent request are not listed.
    const std::vector<SimAnswer> &a = radio.answers();
    QCOMPARE(a.size(), size_t(3));
    QCOMPARE(a[0].request, probeBlock());
    QCOMPARE(a[1].request, statusBlock(kStatusMain));
    QVERIFY(a[1].bytes != radio.mainRecord());
    QCOMPARE(a[2].request, statusBlock(kStatusMainAndSub));
    QCOMPARE(a[2].bytes, last.at(0).bytes);
}

void tst_Sim::shouldDeliverReplyAtWirePace_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("length");
    QTest::newRow("probe") << toBytes(probeBlock()) << 5;
    QTest::newRow("status main") << toBytes(statusBlock(kStatusMain)) << 16;
    QTest::newRow("status main and sub") << toBytes(statusBlock(kStatusMainAndSub)) << 32;
}

void tst_Sim::shouldDeliverReplyAtWirePace() {
    QFETCH(QByteArray, request);
    QFETCH(int, length);
    ManualClock clock;
    VirtualRadio radio;
    radio.setLatency(7ms);
    SimSerialLine line(clock);
    line.attachRadio(3, &radio);
    QCOMPARE(line.Configure(3), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);

    QCOMPARE(line.WriteBytes(request), LineError::None);
    const auto last = VirtualRadio::kBlockAirTime + 7ms + VirtualRadio::kByteTime * length;
    clock.advance(last - 1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(qint16(length - 1)));
    clock.advance(1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(qint16(length)));
    const std::optional<QByteArray> got = line.ReadAll();
    QVERIFY(got.has_value());
    QCOMPARE(got->size(), length);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
}

void tst_Sim::shouldHandOverInChunksLikeAUsbAdapter() {
    // A USB adapter passes on what it has every 16 ms, not byte by byte: the count of waiting
    // bytes may only grow on those ticks, and the whole record still arrives.
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line(clock);
    line.setChunkPeriod(16ms);
    line.attachRadio(1, &radio);
    QCOMPARE(line.Configure(1), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);
    QCOMPARE(line.WriteBytes(hex("0000000210")), LineError::None);
    QList<qint16> counts{0};
    QList<qint64> grewAtMs;
    for (int ms = 1; ms <= 80; ++ms) {
        clock.advance(1ms);
        const qint16 n = line.BytesWaiting().value_or(-1);
        if (n != counts.back()) {
            counts << n;
            grewAtMs << std::chrono::duration_cast<std::chrono::milliseconds>(clock.now().time_since_epoch())
                            .count();
        }
    }
    QCOMPARE(counts.back(), qint16(16));
    QVERIFY2(counts.size() >= 3, "a 40 ms record spans more than one chunk");
    for (qint64 at : grewAtMs)
        QVERIFY2(at % 16 == 0,
                 qPrintable(QStringLiteral("bytes handed over at %1 ms, off the 16 ms tick").arg(at)));
}

void tst_Sim::shouldNotOverlapBackToBackReplies() {
    ManualClock clock;
    VirtualRadio radio;
    radio.setLatency(5ms);
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.Configure(1);
    line.OpenPort();
    SendStatusSub(line); // 32 bytes
    SendProbe(line);     // must wait until the 32 bytes are out
    clock.advance(VirtualRadio::kBlockAirTime + 5ms + VirtualRadio::kByteTime * 36);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(36));
    clock.advance(VirtualRadio::kByteTime);
    const std::optional<QByteArray> got = line.ReadAll();
    QVERIFY(got.has_value());
    QCOMPARE(got->size(), 37);
    QCOMPARE(got->right(5), hex("0220020393"));
}

void tst_Sim::shouldHearRequestOnlyAfterItsAirTime_data() {
    QTest::addColumn<QByteArray>("written"); // in one write; the last block is the one answered
    QTest::addColumn<int>("length");         // of the reply to the last block
    QTest::addColumn<int>("latencyMs");
    QTest::newRow("probe") << toBytes(probeBlock()) << 5 << 5;
    QTest::newRow("status main") << toBytes(statusBlock(kStatusMain)) << 16 << 5;
    QTest::newRow("status main and sub, no delay") << toBytes(statusBlock(kStatusMainAndSub)) << 32 << 0;
    QTest::newRow("meter") << hex("00000000f7") << 5 << 12;
    // The second block waits for the first to be through: ten byte times to the radio.
    QTest::newRow("status behind a filter select")
        << toBytes(filterSelectBlock(2, 3)) + toBytes(statusBlock(kStatusMain)) << 16 << 5;
}

void tst_Sim::shouldHearRequestOnlyAfterItsAirTime() {
    QFETCH(QByteArray, written);
    QFETCH(int, length);
    QFETCH(int, latencyMs);
    ManualClock clock;
    VirtualRadio radio;
    radio.setLatency(std::chrono::milliseconds(latencyMs));
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    QCOMPARE(line.Configure(1), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);
    const auto blocks = size_t(written.size() / 5);

    const auto start = clock.now();
    QCOMPARE(line.WriteBytes(written), LineError::None);
    const auto heard = start + VirtualRadio::kBlockAirTime * qsizetype(blocks);
    clock.advance(heard - start - 1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(radio.received().size(), blocks - 1); // the last block is not all in yet
    clock.advance(1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(radio.received().size(), blocks);

    // Then the radio's delay, then one byte time for the first byte to cross back.
    const auto first = heard + std::chrono::milliseconds(latencyMs) + VirtualRadio::kByteTime;
    clock.advance(first - clock.now() - 1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    clock.advance(1us);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(1));
    clock.advance(VirtualRadio::kByteTime * (length - 1));
    QCOMPARE(line.ReadAll().value_or(QByteArray()).size(), length);

    // A reader waiting for input from the moment it wrote wakes with the first reply byte.
    const auto again = clock.now();
    QCOMPARE(line.WriteBytes(written), LineError::None);
    line.waitForInput(clock, again + 1s);
    QCOMPARE(clock.now(), again + (first - start));
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(1));
}

void tst_Sim::shouldAnswerOnPtyOnlyAfterAirTime_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("latencyMs");
    QTest::newRow("probe, no delay") << toBytes(probeBlock()) << 0;
    QTest::newRow("status main") << toBytes(statusBlock(kStatusMain)) << 10;
}

void tst_Sim::shouldAnswerOnPtyOnlyAfterAirTime() {
#if defined(Q_OS_UNIX)
    QFETCH(QByteArray, request);
    QFETCH(int, latencyMs);
    using Clock = std::chrono::steady_clock;
    PtyRadioServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.withRadio([&](VirtualRadio &r) { r.setLatency(std::chrono::milliseconds(latencyMs)); });
    const int fd = ::open(QFile::encodeName(server.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);

    const Clock::time_point written = Clock::now();
    QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 3000); // generous: the machine may be busy
    const Clock::time_point firstByte = Clock::now();
    char c = 0;
    const bool gotByte = ready == 1 && ::read(fd, &c, 1) == 1;
    ::close(fd);
    QVERIFY2(gotByte, "no reply within 3 s");

    // The pty hands the radio the block at once; the wire would not.
    const auto least =
        VirtualRadio::kBlockAirTime + std::chrono::milliseconds(latencyMs) + VirtualRadio::kByteTime;
    QVERIFY2(firstByte - written >= least,
             qPrintable(
                 QStringLiteral("first byte after %1 us, the wire allows no less than %2 us")
                     .arg(std::chrono::duration_cast<std::chrono::microseconds>(firstByte - written).count())
                     .arg(least.count())));
    const std::vector<PtyRadioServer::WireBlock> blocks = server.receivedBlocks();
    QCOMPARE(blocks.size(), size_t(1));
    QVERIFY(blocks[0].when - written >= VirtualRadio::kBlockAirTime);
#else
    QSKIP("no pseudo-terminals here");
#endif
}

void tst_Sim::shouldKeepLateBytesThroughClear() {
    ManualClock clock;
    VirtualRadio radio;
    radio.setFault(RadioFault::LateReply);
    radio.setLateDelay(300ms);
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.Configure(1);
    line.OpenPort();
    SendProbe(line);
    clock.advance(100ms);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(line.ClearBuffers(), LineError::None);
    clock.advance(300ms);
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(hex("0220020393")));
}

void tst_Sim::shouldOpenOnlyWhatIsThere_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<LineError>("expected");
    QTest::newRow("radio") << 1 << LineError::None;
    QTest::newRow("mute device") << 2 << LineError::None;
    QTest::newRow("busy") << 3 << LineError::PortInUse;
    QTest::newRow("missing") << 4 << LineError::InvalidPortNumber;
    QTest::newRow("radio with cable pulled") << 5 << LineError::InvalidPortNumber;
}

void tst_Sim::shouldOpenOnlyWhatIsThere() {
    QFETCH(int, port);
    QFETCH(LineError, expected);
    ManualClock clock;
    VirtualRadio radio;
    VirtualRadio pulled;
    pulled.setFault(RadioFault::Unplugged);
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.attachMute(2);
    line.setBusy(3);
    line.attachRadio(5, &pulled);

    QCOMPARE(line.Configure(qint16(port)), LineError::None);
    QCOMPARE(line.ClearBuffers(), LineError::None); // before opening, as the search does
    QCOMPARE(line.OpenPort(), expected);
    QCOMPARE(line.IsOpen(), expected == LineError::None);
    QCOMPARE(line.openCount(), expected == LineError::None ? 1 : 0);
    if (expected != LineError::None) {
        QCOMPARE(line.WriteBytes(toBytes(probeBlock())), LineError::NotOpen);
        QCOMPARE(line.ReadAll(), std::nullopt);
        return;
    }
    QCOMPARE(line.OpenPort(), LineError::OpenFailed); // already open
    SendProbe(line);
    clock.advance(100ms);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(port == 1 ? 5 : 0));
    QCOMPARE(line.ClosePort(), LineError::None);
    QCOMPARE(line.ClosePort(), LineError::NotOpen);
    QCOMPARE(line.closeCount(), 1);
}

void tst_Sim::shouldRefuseReconfigureWhileOpen() {
    ManualClock clock;
    SimSerialLine line(clock);
    line.attachMute(1);
    line.attachMute(2);
    line.Configure(1);
    line.OpenPort();
    QCOMPARE(line.Configure(2), LineError::OpenFailed);
    QCOMPARE(line.openPort(), qint16(1));
    QCOMPARE(line.calls().back().port, qint16(1));
}

void tst_Sim::shouldFailIoAfterUnplug() {
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.Configure(1);
    line.OpenPort();
    SendProbe(line);
    clock.advance(VirtualRadio::kBlockAirTime); // the probe is in before the cable goes
    line.unplug();
    clock.advance(100ms);
    QVERIFY(line.IsOpen());
    QCOMPARE(line.BytesWaiting(), std::nullopt);
    QCOMPARE(line.ReadAll(), std::nullopt);
    QCOMPARE(SendStatusMain(line), LineError::WriteFailed);
    QCOMPARE(radio.received().size(), size_t(1));
    QCOMPARE(line.ClosePort(), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::InvalidPortNumber);

    // The radio's own fault drops the line the same way.
    VirtualRadio other;
    line.attachRadio(2, &other);
    line.Configure(2);
    QCOMPARE(line.OpenPort(), LineError::None);
    other.setFault(RadioFault::Unplugged);
    QCOMPARE(SendProbe(line), LineError::WriteFailed);
    QCOMPARE(line.ReadAll(), std::nullopt);
}

void tst_Sim::shouldDropOverrunBeyondInputBuffer() {
    ManualClock clock;
    SimSerialLine line(clock);
    line.attachMute(1);
    line.Configure(1);
    line.OpenPort();
    QByteArray flood(1500, '\0');
    for (int i = 0; i < flood.size(); ++i)
        flood[i] = char(i % 251);
    line.injectInput(flood.left(1000), clock.now() + 1ms);
    line.injectInput(flood.mid(1000), clock.now() + 2ms);
    clock.advance(3ms);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(kInputBufferSize));
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(flood.left(kInputBufferSize)));
    line.injectInput(hex("0102"), clock.now());
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(hex("0102")));
}

void tst_Sim::shouldDropPendingInputOnClose() {
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.Configure(1);
    line.OpenPort();
    SendStatusSub(line);
    clock.advance(1ms);
    // Closed while a filter select is still on the wire: the port drains it to the radio.
    QCOMPARE(line.WriteBytes(toBytes(filterSelectBlock(2, 3))), LineError::None);
    line.ClosePort();
    QCOMPARE(radio.mainFilterByte() & 0x07, 4); // 250 Hz in the 455 kHz IF
    line.OpenPort();
    clock.advance(1s);
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(QByteArray()));
}

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Lamp decoding: which buttons a status reply lights, for every possible filter byte.
#include "filters/filtertable.h"
#include "filters/lamps.h"

#include <QTest>

#include <vector>

using namespace quillon;
using enum FilterId;

Q_DECLARE_METATYPE(quillon::FilterId)
Q_DECLARE_METATYPE(std::optional<quillon::FilterId>)

namespace {

using Lamp = std::optional<FilterId>;

// The oracles read the byte as the radio writes it: bit 7 a flag of its own, bits 6-4 the
// 8.215 MHz filter number and bits 3-0 the 455 kHz one (0 THRU or 6.0K, 1 2.4K, 2 2.0K, 3 500,
// 4 250). The decoder instead tests whole values against ranges and sets, so a slip in either
// shows as a disagreement.
struct Fields {
    bool flag;
    int hi;
    int lo;
};
Fields fieldsOf(int b) { return {(b & 0x80) != 0, (b >> 4) & 0x07, b & 0x0F}; }

Lamp expectedHi(int b) {
    const Fields f = fieldsOf(b);
    // The radio's own tables light 250 for every value above 191, whatever its low half says.
    if (f.flag && f.hi >= 4)
        return Hi_250;
    if (f.hi > 4 || f.lo > 4)
        return {};
    const FilterId byNumber[] = {Hi_Thru, Hi_2400, Hi_2000, Hi_500, Hi_250};
    return byNumber[f.hi];
}

// The 455 kHz sets: the filter number plus one of sixteen times 0 to 4, with or without bit 7.
Lamp expectedLo(int b) {
    const FilterId byNumber[] = {Lo_6000, Lo_2400, Lo_2000, Lo_500, Lo_250};
    for (int number = 0; number <= 4; ++number)
        for (int flag : {0, 128})
            for (int hi = 0; hi <= 4; ++hi)
                if (b == flag + 16 * hi + number)
                    return byNumber[number];
    return {};
}

// The sub receiver reports its filter in both halves alike: 0 is 6.0K, 1 and 2 are 2.4K, 3 and
// 4 are 500.
Lamp expectedSub(int b) {
    const Fields f = fieldsOf(b);
    if (f.hi != f.lo || f.lo > 4)
        return {};
    const FilterId byNumber[] = {Sub6000, Sub2400, Sub2400, Sub500, Sub500};
    return byNumber[f.lo];
}

QByteArray replyWithByteAt(int offset, quint8 value, int length) {
    QByteArray reply(length, '\x55');
    reply[offset] = static_cast<char>(value);
    return reply;
}

QString describe(const Lamp &lamp) {
    return lamp ? QString::fromLatin1(filterButton(*lamp).name) : QStringLiteral("nothing");
}

} // namespace

class tst_Lamps : public QObject {
    Q_OBJECT

private slots:
    void shouldDecodeEveryMainByteAsItsFieldsSay();
    void shouldDecodeEverySubByteAsItsFieldsSay();
    void shouldLightTheNamedMainButtons_data();
    void shouldLightTheNamedMainButtons();
    void shouldLightTheNamedSubButton_data();
    void shouldLightTheNamedSubButton();
    void shouldDecodeNothingFromAShortReply_data();
    void shouldDecodeNothingFromAShortReply();
    void shouldReadOnlyTheFilterByteOfALongReply();
    void shouldPaintEachGroupInItsOrder();
    void shouldSelectWhatEachButtonSays_data();
    void shouldSelectWhatEachButtonSays();
};

void tst_Lamps::shouldDecodeEveryMainByteAsItsFieldsSay() {
    for (int b = 0; b < 256; ++b) {
        const MainLamps got = decodeMainFilterByte(static_cast<quint8>(b));
        QVERIFY2(got.decoded, qPrintable(QString::number(b)));
        QVERIFY2(got.hi == expectedHi(b),
                 qPrintable(QStringLiteral("8.215 MHz group, b = 0x%1: %2, expected %3")
                                .arg(b, 2, 16, QLatin1Char('0'))
                                .arg(describe(got.hi), describe(expectedHi(b)))));
        QVERIFY2(got.lo == expectedLo(b),
                 qPrintable(QStringLiteral("455 kHz group, b = 0x%1: %2, expected %3")
                                .arg(b, 2, 16, QLatin1Char('0'))
                                .arg(describe(got.lo), describe(expectedLo(b)))));
    }
}

void tst_Lamps::shouldDecodeEverySubByteAsItsFieldsSay() {
    for (int b = 0; b < 256; ++b) {
        const SubLamps got = decodeSubFilterByte(static_cast<quint8>(b));
        QVERIFY(got.decoded);
        QVERIFY2(got.lit == expectedSub(b),
                 qPrintable(QStringLiteral("sub, b = 0x%1: %2, expected %3")
                                .arg(b, 2, 16, QLatin1Char('0'))
                                .arg(describe(got.lit), describe(expectedSub(b)))));
    }
}

// Hand-written from the radio's tables, at their edges.
void tst_Lamps::shouldLightTheNamedMainButtons_data() {
    QTest::addColumn<int>("b");
    QTest::addColumn<Lamp>("hi");
    QTest::addColumn<Lamp>("lo");
    QTest::newRow("0x12: 2.4K and 2.0K") << 0x12 << Lamp(Hi_2400) << Lamp(Lo_2000);
    QTest::newRow("0x80: THRU and 6.0K") << 0x80 << Lamp(Hi_Thru) << Lamp(Lo_6000);
    QTest::newRow("0xC4: 250 and 250") << 0xC4 << Lamp(Hi_250) << Lamp(Lo_250);
    QTest::newRow("0xE0: 250, 455 unchanged") << 0xE0 << Lamp(Hi_250) << Lamp();
    QTest::newRow("0x05: nothing") << 0x05 << Lamp() << Lamp();
    QTest::newRow("0x25: just outside rule 3") << 0x25 << Lamp() << Lamp();
    QTest::newRow("0xFF: top of rule 5") << 0xFF << Lamp(Hi_250) << Lamp();
    QTest::newRow("0xC5: 250, low half 5") << 0xC5 << Lamp(Hi_250) << Lamp();
    QTest::newRow("0xC0: 250 and 6.0K") << 0xC0 << Lamp(Hi_250) << Lamp(Lo_6000);
    QTest::newRow("0x44: upper edge of rule 5 low range") << 0x44 << Lamp(Hi_250) << Lamp(Lo_250);
    QTest::newRow("0x45: just past it") << 0x45 << Lamp() << Lamp();
    QTest::newRow("0x50: 8.215 number 5 lights nothing") << 0x50 << Lamp() << Lamp();
    QTest::newRow("0xBF: just under 192") << 0xBF << Lamp() << Lamp();
    QTest::newRow("0x33: 500 and 500") << 0x33 << Lamp(Hi_500) << Lamp(Lo_500);
    QTest::newRow("0x94: 2.4K and 250 with bit 7") << 0x94 << Lamp(Hi_2400) << Lamp(Lo_250);
    QTest::newRow("0x0F: low half 15") << 0x0F << Lamp() << Lamp();
}

void tst_Lamps::shouldLightTheNamedMainButtons() {
    QFETCH(int, b);
    QFETCH(Lamp, hi);
    QFETCH(Lamp, lo);
    const MainLamps got = decodeMainReply(replyWithByteAt(8, static_cast<quint8>(b), 16));
    QVERIFY(got.decoded);
    QCOMPARE(got.hi, hi);
    QCOMPARE(got.lo, lo);
}

void tst_Lamps::shouldLightTheNamedSubButton_data() {
    QTest::addColumn<int>("b");
    QTest::addColumn<Lamp>("lit");
    QTest::newRow("0x22: 2.4K") << 0x22 << Lamp(Sub2400);
    QTest::newRow("0x44: 500") << 0x44 << Lamp(Sub500);
    QTest::newRow("0x01: unchanged") << 0x01 << Lamp();
    QTest::newRow("0x00: 6.0K") << 0x00 << Lamp(Sub6000);
    QTest::newRow("0x80: 6.0K with bit 7") << 0x80 << Lamp(Sub6000);
    QTest::newRow("0xC4: 500 with bit 7") << 0xC4 << Lamp(Sub500);
    QTest::newRow("0x11: 2.4K") << 0x11 << Lamp(Sub2400);
    QTest::newRow("0x33: 500") << 0x33 << Lamp(Sub500);
    QTest::newRow("0x12: halves differ") << 0x12 << Lamp();
    QTest::newRow("0x55: number 5") << 0x55 << Lamp();
}

void tst_Lamps::shouldLightTheNamedSubButton() {
    QFETCH(int, b);
    QFETCH(Lamp, lit);
    const SubLamps got = decodeSubReply(replyWithByteAt(24, static_cast<quint8>(b), 32));
    QVERIFY(got.decoded);
    QCOMPARE(got.lit, lit);
}

void tst_Lamps::shouldDecodeNothingFromAShortReply_data() {
    QTest::addColumn<int>("length");
    for (int n : {0, 1, 8, 9, 24, 25})
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(n))) << n;
}

void tst_Lamps::shouldDecodeNothingFromAShortReply() {
    QFETCH(int, length);
    // 0x12 wherever it lands would light main lamps, 0x22 sub lamps: only a long enough
    // reply may be decoded.
    const QByteArray main(length, '\x12');
    const QByteArray sub(length, '\x22');
    QCOMPARE(decodeMainReply(main).decoded, length > 8);
    QCOMPARE(decodeSubReply(sub).decoded, length > 24);
    if (length <= 8)
        QCOMPARE(decodeMainReply(main), MainLamps{});
    if (length <= 24)
        QCOMPARE(decodeSubReply(sub), SubLamps{});
}

void tst_Lamps::shouldReadOnlyTheFilterByteOfALongReply() {
    QByteArray reply(1024, '\x80');
    reply[8] = 0x12;
    const MainLamps got = decodeMainReply(reply);
    QCOMPARE(got.hi, Lamp(Hi_2400));
    QCOMPARE(got.lo, Lamp(Lo_2000));
}

void tst_Lamps::shouldPaintEachGroupInItsOrder() {
    const auto list = [](const auto &order) { return std::vector<FilterId>(order.begin(), order.end()); };
    QCOMPARE(list(mainHiPaintingOrder()), (std::vector<FilterId>{Hi_Thru, Hi_2400, Hi_2000, Hi_500, Hi_250}));
    QCOMPARE(list(mainLoPaintingOrder()), (std::vector<FilterId>{Lo_6000, Lo_2400, Lo_2000, Lo_500, Lo_250}));
    QCOMPARE(list(subPaintingOrder()), (std::vector<FilterId>{Sub6000, Sub2400, Sub500}));
}

void tst_Lamps::shouldSelectWhatEachButtonSays_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("path");
    QTest::addColumn<int>("code");
    QTest::newRow("Hi 2.4K") << "Hi_2400_Cmd"
                             << "2.4K" << 1 << 0;
    QTest::newRow("Hi 2.0K") << "Hi_2000_Cmd"
                             << "2.0K" << 1 << 1;
    QTest::newRow("Hi 500") << "Hi_500_Cmd"
                            << "500" << 1 << 2;
    QTest::newRow("Hi 250") << "Hi_250_Cmd"
                            << "250" << 1 << 3;
    QTest::newRow("Hi THRU") << "Hi_Thru_Cmd"
                             << "THRU" << 1 << 4;
    QTest::newRow("Lo 2.4K") << "Lo_2400_Cmd"
                             << "2.4K" << 2 << 0;
    QTest::newRow("Lo 2.0K") << "Lo_2000_Cmd"
                             << "2.0K" << 2 << 1;
    QTest::newRow("Lo 500") << "Lo_500_Cmd"
                            << "500" << 2 << 2;
    QTest::newRow("Lo 250") << "Lo_250_Cmd"
                            << "250" << 2 << 3;
    QTest::newRow("Lo 6.0K") << "Lo_6000_Cmd"
                             << "6.0K" << 2 << 4;
    QTest::newRow("Sub 2.4K") << "cmdSub2400"
                              << "2.4K" << 0 << 128;
    QTest::newRow("Sub 500") << "cmdSub500"
                             << "500" << 0 << 130;
    QTest::newRow("Sub 6.0K") << "cmdSub6000"
                              << "6.0K" << 0 << 132;
}

void tst_Lamps::shouldSelectWhatEachButtonSays() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(int, path);
    QFETCH(int, code);
    int found = 0;
    for (const FilterButtonInfo &b : filterButtons()) {
        if (name != QLatin1String(b.name))
            continue;
        ++found;
        QCOMPARE(QString::fromLatin1(b.caption), caption);
        QCOMPARE(b.FilterPath, path);
        QCOMPARE(b.FilterCode, code);
        QCOMPARE(b.group == FilterGroup::Sub, path == 0);
    }
    QCOMPARE(found, 1);
}

QTEST_APPLESS_MAIN(tst_Lamps)
#include "tst_lamps.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Lamp decoding: which buttons a status reply lights, for every possible filter byte.
#include "filters/filtertable.h"
#include "filters/lamps.h"

#include <QTest>

#include <set>

using namespace quillon;
using enum FilterId;

Q_DECLARE_METATYPE(quillon::FilterId)
Q_DECLARE_METATYPE(std::optional<quillon::FilterId>)

namespace {

// The radio's tables written out value by value, independently of how the decoder computes them.
std::optional<FilterId> expectedHi(int b)
{
    const struct {
        int a1, b1, a2, b2;
        FilterId lit;
    } rules[] = {
        {0, 4, 128, 132, Hi_Thru}, {16, 20, 144, 148, Hi_2400}, {32, 36, 160, 164, Hi_2000},
        {48, 52, 176, 180, Hi_500}, {64, 68, 192, 255, Hi_250},
    };
    for (const auto &r : rules)
        if ((b >= r.a1 && b <= r.b1) || (b >= r.a2 && b <= r.b2))
            return r.lit;
    return std::nullopt;
}

std::optional<FilterId> expectedLo(int b)
{
    const std::pair<std::set<int>, FilterId> rules[] = {
        {{0, 16, 32, 48, 64, 128, 144, 160, 176, 192}, Lo_6000},
        {{1, 17, 33, 49, 65, 129, 145, 161, 177, 193}, Lo_2400},
        {{2, 18, 34, 50, 66, 130, 146, 162, 178, 194}, Lo_2000},
        {{3, 19, 35, 51, 67, 131, 147, 163, 179, 195}, Lo_500},
        {{4, 20, 36, 52, 68, 132, 148, 164, 180, 196}, Lo_250},
    };
    for (const auto &[values, lit] : rules)
        if (values.count(b))
            return lit;
    return std::nullopt;
}

std::optional<FilterId> expectedSub(int b)
{
    const std::pair<std::set<int>, FilterId> rules[] = {
        {{0, 128}, Sub6000},
        {{17, 145, 34, 162}, Sub2400},
        {{51, 179, 68, 196}, Sub500},
    };
    for (const auto &[values, lit] : rules)
        if (values.count(b))
            return lit;
    return std::nullopt;
}

QByteArray replyWithByteAt(int offset, quint8 value, int length)
{
    QByteArray reply(length, '\x55');
    reply[offset] = static_cast<char>(value);
    return reply;
}

} // namespace

class TestLamps : public QObject {
    Q_OBJECT

private slots:
    void shouldDecodeEveryMainByteAsTheTablesSay()
    {
        for (int b = 0; b < 256; ++b) {
            const MainLamps got = decodeMainFilterByte(static_cast<quint8>(b));
            QVERIFY2(got.decoded, qPrintable(QString::number(b)));
            QVERIFY2(got.hi == expectedHi(b), qPrintable(QStringLiteral("8.215 MHz group, b = %1").arg(b)));
            QVERIFY2(got.lo == expectedLo(b), qPrintable(QStringLiteral("455 kHz group, b = %1").arg(b)));
        }
    }

    void shouldDecodeEverySubByteAsTheTableSays()
    {
        for (int b = 0; b < 256; ++b) {
            const SubLamps got = decodeSubFilterByte(static_cast<quint8>(b));
            QVERIFY(got.decoded);
            QVERIFY2(got.lit == expectedSub(b), qPrintable(QStringLiteral("sub, b = %1").arg(b)));
        }
    }

    void shouldLightTheNamedMainButtons_data()
    {
        QTest::addColumn<int>("b");
        QTest::addColumn<std::optional<FilterId>>("hi");
        QTest::addColumn<std::optional<FilterId>>("lo");
        using O = std::optional<FilterId>;
        QTest::newRow("0x12: 2.4K and 2.0K") << 0x12 << O(Hi_2400) << O(Lo_2000);
        QTest::newRow("0x80: THRU and 6.0K") << 0x80 << O(Hi_Thru) << O(Lo_6000);
        QTest::newRow("0xC4: 250 and 250") << 0xC4 << O(Hi_250) << O(Lo_250);
        QTest::newRow("0xE0: 250, 455 unchanged") << 0xE0 << O(Hi_250) << O();
        QTest::newRow("0x05: nothing") << 0x05 << O() << O();
        QTest::newRow("0x25: just outside rule 3") << 0x25 << O() << O();
        QTest::newRow("0xFF: top of rule 5") << 0xFF << O(Hi_250) << O();
        QTest::newRow("0xC5: 250, low half 5") << 0xC5 << O(Hi_250) << O();
        QTest::newRow("0x44: upper edge of rule 5 low range") << 0x44 << O(Hi_250) << O(Lo_250);
        QTest::newRow("0x45: just past it") << 0x45 << O() << O();
        QTest::newRow("0x50: 8.215 number 5 lights nothing") << 0x50 << O() << O();
        QTest::newRow("0xBF: just under 192") << 0xBF << O() << O();
        QTest::newRow("0x33: 500 and 500") << 0x33 << O(Hi_500) << O(Lo_500);
    }

    void shouldLightTheNamedMainButtons()
    {
        QFETCH(int, b);
        QFETCH(std::optional<FilterId>, hi);
        QFETCH(std::optional<FilterId>, lo);
        const MainLamps got = decodeMainReply(replyWithByteAt(8, static_cast<quint8>(b), 16));
        QVERIFY(got.decoded);
        QCOMPARE(got.hi, hi);
        QCOMPARE(got.lo, lo);
    }

    void shouldLightTheNamedSubButton_data()
    {
        QTest::addColumn<int>("b");
        QTest::addColumn<std::optional<FilterId>>("lit");
        using O = std::optional<FilterId>;
        QTest::newRow("0x22: 2.4K") << 0x22 << O(Sub2400);
        QTest::newRow("0x44: 500") << 0x44 << O(Sub500);
        QTest::newRow("0x01: unchanged") << 0x01 << O();
        QTest::newRow("0x00: 6.0K") << 0x00 << O(Sub6000);
        QTest::newRow("0x80: 6.0K with bit 7") << 0x80 << O(Sub6000);
        QTest::newRow("0xC4: 500 with bit 7") << 0xC4 << O(Sub500);
        QTest::newRow("0x11: 2.4K") << 0x11 << O(Sub2400);
        QTest::newRow("0x33: 500") << 0x33 << O(Sub500);
    }

    void shouldLightTheNamedSubButton()
    {
        QFETCH(int, b);
        QFETCH(std::optional<FilterId>, lit);
        const SubLamps got = decodeSubReply(replyWithByteAt(24, static_cast<quint8>(b), 32));
        QVERIFY(got.decoded);
        QCOMPARE(got.lit, lit);
    }

    void shouldDecodeNothingFromAShortReply_data()
    {
        QTest::addColumn<int>("length");
        for (int n : {0, 1, 8, 9, 24, 25})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(n))) << n;
    }

    void shouldDecodeNothingFromAShortReply()
    {
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

    void shouldReadOnlyTheFilterByteOfALongReply()
    {
        QByteArray reply(1024, '\x80');
        reply[8] = 0x12;
        const MainLamps got = decodeMainReply(reply);
        QCOMPARE(got.hi, std::optional<FilterId>(Hi_2400));
        QCOMPARE(got.lo, std::optional<FilterId>(Lo_2000));
    }

    void shouldKeepPaintingOrdersAndGroupsConsistent()
    {
        // Each group's painting order names exactly the buttons of that group, each once.
        const auto check = [](const auto &order, FilterGroup group) {
            std::set<FilterId> seen(order.begin(), order.end());
            QCOMPARE(seen.size(), order.size());
            int inGroup = 0;
            for (const FilterButtonInfo &b : filterButtons())
                if (b.group == group) {
                    ++inGroup;
                    QVERIFY2(seen.count(b.id), b.name);
                }
            QCOMPARE(static_cast<std::size_t>(inGroup), order.size());
        };
        check(mainHiPaintingOrder(), FilterGroup::MainHi);
        check(mainLoPaintingOrder(), FilterGroup::MainLo);
        check(subPaintingOrder(), FilterGroup::Sub);
        QCOMPARE(mainHiPaintingOrder().front(), Hi_Thru);
        QCOMPARE(mainLoPaintingOrder().front(), Lo_6000);
        QCOMPARE(subPaintingOrder().front(), Sub6000);
    }

    void shouldSelectWhatEachButtonSays_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("path");
        QTest::addColumn<int>("code");
        QTest::newRow("Hi 2.4K") << "Hi_2400_Cmd" << "2.4K" << 1 << 0;
        QTest::newRow("Hi 2.0K") << "Hi_2000_Cmd" << "2.0K" << 1 << 1;
        QTest::newRow("Hi 500") << "Hi_500_Cmd" << "500" << 1 << 2;
        QTest::newRow("Hi 250") << "Hi_250_Cmd" << "250" << 1 << 3;
        QTest::newRow("Hi THRU") << "Hi_Thru_Cmd" << "THRU" << 1 << 4;
        QTest::newRow("Lo 2.4K") << "Lo_2400_Cmd" << "2.4K" << 2 << 0;
        QTest::newRow("Lo 2.0K") << "Lo_2000_Cmd" << "2.0K" << 2 << 1;
        QTest::newRow("Lo 500") << "Lo_500_Cmd" << "500" << 2 << 2;
        QTest::newRow("Lo 250") << "Lo_250_Cmd" << "250" << 2 << 3;
        QTest::newRow("Lo 6.0K") << "Lo_6000_Cmd" << "6.0K" << 2 << 4;
        QTest::newRow("Sub 2.4K") << "cmdSub2400" << "2.4K" << 0 << 128;
        QTest::newRow("Sub 500") << "cmdSub500" << "500" << 0 << 130;
        QTest::newRow("Sub 6.0K") << "cmdSub6000" << "6.0K" << 0 << 132;
    }

    void shouldSelectWhatEachButtonSays()
    {
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
};

QTEST_APPLESS_MAIN(TestLamps)
#include "tst_lamps.moc"

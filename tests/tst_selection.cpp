// SPDX-License-Identifier: GPL-3.0-or-later
// Clicking filter buttons and polling the radio, end to end: the bytes on the wire, the lamps
// that follow, against the in-process radio and through the real serial adapter on a pty.
#include "testrig.h"
#include "testutil.h"

#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "sim/ptyradioserver.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace quillon;
using namespace quillon::testing;
using enum FilterId;

Q_DECLARE_METATYPE(quillon::FilterId)

namespace {

const std::vector<FilterId> &groupOf(FilterId id) {
    static const std::vector<FilterId> hi(mainHiPaintingOrder().begin(), mainHiPaintingOrder().end());
    static const std::vector<FilterId> lo(mainLoPaintingOrder().begin(), mainLoPaintingOrder().end());
    static const std::vector<FilterId> sub(subPaintingOrder().begin(), subPaintingOrder().end());
    switch (filterButton(id).group) {
    case FilterGroup::MainHi:
        return hi;
    case FilterGroup::MainLo:
        return lo;
    case FilterGroup::Sub:
        break;
    }
    return sub;
}

// The five one-byte writes of a status request.
std::vector<QByteArray> statusWrites(quint8 which) {
    return {hex("00"), hex("00"), hex("00"), QByteArray(1, static_cast<char>(which)), hex("10")};
}

// A click, and its select and re-read done and painted.
bool click(frmQuillon &window, FilterId id) {
    QTest::mouseClick(window.button(id), Qt::LeftButton);
    return settled(window);
}

} // namespace

class tst_Selection : public QObject {
    Q_OBJECT

private slots:
    void shouldSelectTheFilterThenReadBackItsReceiver_data();
    void shouldSelectTheFilterThenReadBackItsReceiver();
    void shouldNotLightTheClickedButtonWhenTheRadioIgnoresIt();
    void shouldHandleAClickDuringAWaitOnlyAfterIt();
    void shouldFollowAChangeMadeOnTheRadioWithinOnePoll_data();
    void shouldFollowAChangeMadeOnTheRadioWithinOnePoll();
    void shouldNameEachButtonForAssistiveTools_data();
    void shouldNameEachButtonForAssistiveTools();
    void shouldWorkThroughTheRealAdapterOnAPty();
};

void tst_Selection::shouldSelectTheFilterThenReadBackItsReceiver_data() {
    QTest::addColumn<FilterId>("id");
    QTest::addColumn<QByteArray>("select");
    QTest::addColumn<int>("status");
    QTest::newRow("Hi_2400_Cmd") << Hi_2400 << hex("010000008c") << 2;
    QTest::newRow("Hi_2000_Cmd") << Hi_2000 << hex("010000018c") << 2;
    QTest::newRow("Hi_500_Cmd") << Hi_500 << hex("010000028c") << 2;
    QTest::newRow("Hi_250_Cmd") << Hi_250 << hex("010000038c") << 2;
    QTest::newRow("Hi_Thru_Cmd") << Hi_Thru << hex("010000048c") << 2;
    QTest::newRow("Lo_2400_Cmd") << Lo_2400 << hex("020000008c") << 2;
    QTest::newRow("Lo_2000_Cmd") << Lo_2000 << hex("020000018c") << 2;
    QTest::newRow("Lo_500_Cmd") << Lo_500 << hex("020000028c") << 2;
    QTest::newRow("Lo_250_Cmd") << Lo_250 << hex("020000038c") << 2;
    QTest::newRow("Lo_6000_Cmd") << Lo_6000 << hex("020000048c") << 2;
    QTest::newRow("cmdSub2400") << Sub2400 << hex("000000808c") << 3;
    QTest::newRow("cmdSub500") << Sub500 << hex("000000828c") << 3;
    QTest::newRow("cmdSub6000") << Sub6000 << hex("000000848c") << 3;
}

void tst_Selection::shouldSelectTheFilterThenReadBackItsReceiver() {
    QFETCH(FilterId, id);
    QFETCH(QByteArray, select);
    QFETCH(int, status);
    Rig rig;
    // Start from a radio whose lamps differ from the clicked one in every group.
    rig.radio.setMainFilterByte(id == Hi_250 || id == Lo_250 ? 0x22 : 0x44);
    rig.radio.setSubFilterByte(id == Sub500 ? 0x00 : 0x33);
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    rig.window->Timer1_Timer();
    QVERIFY(rig.settle());
    QVERIFY(!rig.lit(id));

    // The operator turns the other receiver's knobs: a click must not repaint that receiver.
    const bool sub = filterButton(id).group == FilterGroup::Sub;
    std::map<FilterId, QColor> before;
    for (const FilterButtonInfo &b : filterButtons())
        before[b.id] = rig.face(b.id);
    sub ? rig.radio.setMainFilterByte(0x80) : rig.radio.setSubFilterByte(0x00);

    rig.line->clearCalls();
    QVERIFY(click(*rig.window, id));

    std::vector<QByteArray> want{select};
    for (const QByteArray &w : statusWrites(static_cast<quint8>(status)))
        want.push_back(w);
    QCOMPARE(rig.line->writes(), want);
    for (FilterId g : groupOf(id))
        QCOMPARE(rig.lit(g), g == id);
    for (const FilterButtonInfo &b : filterButtons())
        if ((b.group == FilterGroup::Sub) != sub)
            QVERIFY2(rig.face(b.id) == before[b.id], b.name);
}

void tst_Selection::shouldNotLightTheClickedButtonWhenTheRadioIgnoresIt() {
    Rig rig;
    rig.radio.setMainFilterByte(0x00);
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    rig.window->Timer1_Timer();
    QVERIFY(rig.settle());
    QVERIFY(rig.lit(Lo_6000));
    rig.radio.setFault(sim::RadioFault::Silent);
    rig.line->clearCalls();
    QVERIFY(click(*rig.window, Lo_250));
    QCOMPARE(rig.line->writes().front(), hex("020000038c"));
    QVERIFY(!rig.lit(Lo_250));
    QVERIFY(rig.lit(Lo_6000));
}

// A click that comes while another click waits for its status reply is handled once that wait
// is over: the radio sees each select with its own status request, and the first reply is read
// before the second select goes out.
void tst_Selection::shouldHandleAClickDuringAWaitOnlyAfterIt() {
    Rig rig;
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    rig.window->timer()->stop(); // only the clicks talk to the radio here
    rig.line->clearCalls();
    const auto start = rig.platform.manualClock.now();
    // Queued ahead of the first click, as a click made during its wait is: anything in that
    // click that ran events would handle this one in the middle of it.
    QMetaObject::invokeMethod(rig.window->button(Sub500), &QAbstractButton::click, Qt::QueuedConnection);
    QVERIFY(click(*rig.window, Hi_500));

    std::vector<QByteArray> want{hex("010000028c")};
    for (const QByteArray &w : statusWrites(2))
        want.push_back(w);
    want.push_back(hex("000000828c"));
    for (const QByteArray &w : statusWrites(3))
        want.push_back(w);
    QTRY_COMPARE(rig.line->writes(), want);

    const auto &calls = rig.line->calls();
    const auto firstReply = std::find_if(calls.begin(), calls.end(), [](const sim::SimSerialLine::Call &c) {
        return c.op == sim::SimSerialLine::Op::ReadAll && !c.data.isEmpty();
    });
    const auto secondSelect = std::find_if(calls.begin(), calls.end(), [](const sim::SimSerialLine::Call &c) {
        return c.op == sim::SimSerialLine::Op::WriteBytes && c.data == hex("000000828c");
    });
    QVERIFY(firstReply != calls.end());
    QVERIFY(secondSelect != calls.end());
    QVERIFY2(firstReply < secondSelect, "the second click was handled during the first one's wait");
    QCOMPARE(firstReply->data.size(), 16);
    // Each click waited for its own status reply.
    QVERIFY(rig.platform.manualClock.now() - start >= kMainStatusDelay + kSubStatusDelay);
    QVERIFY(rig.lit(Hi_500));
    QVERIFY(rig.lit(Sub500));
}

void tst_Selection::shouldFollowAChangeMadeOnTheRadioWithinOnePoll_data() {
    QTest::addColumn<int>("main");
    QTest::addColumn<int>("sub");
    QTest::addColumn<FilterId>("hi");
    QTest::addColumn<FilterId>("lo");
    QTest::addColumn<FilterId>("subLit");
    QTest::newRow("0x12 / 0x22") << 0x12 << 0x22 << Hi_2400 << Lo_2000 << Sub2400;
    QTest::newRow("0xC4 / 0xC4") << 0xC4 << 0xC4 << Hi_250 << Lo_250 << Sub500;
    QTest::newRow("0x80 / 0x80") << 0x80 << 0x80 << Hi_Thru << Lo_6000 << Sub6000;
}

void tst_Selection::shouldFollowAChangeMadeOnTheRadioWithinOnePoll() {
    QFETCH(int, main);
    QFETCH(int, sub);
    QFETCH(FilterId, hi);
    QFETCH(FilterId, lo);
    QFETCH(FilterId, subLit);
    Rig rig;
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    QSignalSpy polls(rig.window.get(), &frmQuillon::pollCompleted);
    rig.radio.setMainFilterByte(static_cast<quint8>(main));
    rig.radio.setSubFilterByte(static_cast<quint8>(sub));
    // Driven by the window's own timer: one poll, done and painted.
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 1, 2000);
    QVERIFY(rig.lit(hi));
    QVERIFY(rig.lit(lo));
    QVERIFY(rig.lit(subLit));
    int lit = 0;
    for (const FilterButtonInfo &b : filterButtons()) {
        lit += rig.lit(b.id);
        // What a screen reader is told matches the lamp.
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(rig.window->button(b.id));
        QVERIFY(a);
        QCOMPARE(a->text(QAccessible::Description),
                 rig.lit(b.id) ? QStringLiteral("In use") : QStringLiteral("Not in use"));
        QCOMPARE(bool(a->state().checked), rig.lit(b.id));
    }
    QCOMPARE(lit, 3);
}

void tst_Selection::shouldNameEachButtonForAssistiveTools_data() {
    QTest::addColumn<FilterId>("id");
    QTest::addColumn<QString>("name");
    QTest::newRow("Lo_500_Cmd") << Lo_500 << "Main receiver, 455 kHz, 500 Hz filter";
    QTest::newRow("Lo_6000_Cmd") << Lo_6000 << "Main receiver, 455 kHz, 6.0 kHz filter";
    QTest::newRow("Hi_2400_Cmd") << Hi_2400 << "Main receiver, 8.215 MHz, 2.4 kHz filter";
    QTest::newRow("Hi_Thru_Cmd") << Hi_Thru << "Main receiver, 8.215 MHz, through, no filter";
    QTest::newRow("cmdSub500") << Sub500 << "Sub receiver, 500 Hz filter";
    QTest::newRow("cmdSub6000") << Sub6000 << "Sub receiver, 6.0 kHz filter";
}

void tst_Selection::shouldNameEachButtonForAssistiveTools() {
    QFETCH(FilterId, id);
    QFETCH(QString, name);
    Rig rig;
    rig.radio.setMainFilterByte(0x00);
    rig.radio.setSubFilterByte(id == Sub500 ? 0x00 : 0x22);
    QVERIFY(rig.window->Form_Load());
    rig.window->timer()->stop();
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(rig.window->button(id));
    QVERIFY(a);
    QCOMPARE(a->text(QAccessible::Name), name);
    QCOMPARE(a->text(QAccessible::Description), QStringLiteral("Not in use"));
    // One of a group, checked while in use, its key told with its Press action.
    QCOMPARE(a->role(), QAccessible::RadioButton);
    QVERIFY(a->state().checkable && !a->state().checked);
    QAccessibleActionInterface *act = a->actionInterface();
    QVERIFY(act && act->actionNames().contains(QAccessibleActionInterface::pressAction()));
    const QStringList keys = act->keyBindingsForAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(keys.size(), 1);
    QVERIFY2(rig.window->button(id)->toolTip().contains(keys.front()), qPrintable(keys.front()));
    // The screen reader's Press selects as a key does: the lamp follows, the focus stays put.
    QWidget *focus = rig.window->button(Lo_6000);
    focus->setFocus(Qt::TabFocusReason);
    act->doAction(QAccessibleActionInterface::pressAction());
    QTRY_VERIFY_WITH_TIMEOUT(rig.lit(id), 5000);
    QVERIFY(a->state().checked);
    QCOMPARE(QApplication::focusWidget(), focus);
    // The caption on the face stays the short one.
    QCOMPARE(rig.window->button(id)->text(), QString::fromLatin1(filterButton(id).caption));
}

void tst_Selection::shouldWorkThroughTheRealAdapterOnAPty() {
    sim::PtyRadioServer server;
    if (!server.start())
        QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: %1").arg(server.errorString())));
    server.withRadio([](sim::VirtualRadio &r) {
        r.setMainFilterByte(0x00);
        r.setSubFilterByte(0x00);
    });
    TestPlatform platform;
    platform.realClock = true;
    frmQuillon window(platform,
                      std::make_unique<PosixSerialLine>(PortTable(QStringList{server.devicePath()})));
    QVERIFY(window.Form_Load());
    QCOMPARE(window.PortNum, qint16(1));
    QCOMPARE(platform.beeps, 1);
    window.show();

    click(window, Lo_500);
    QVERIFY(window.button(Lo_500)->palette().color(QPalette::Button) == kLitGreen);
    const auto blocks = server.receivedBlocks();
    QVERIFY(blocks.size() >= 3);
    // probe, ..., select, main status
    QCOMPARE(blocks.front().block, (CommandBlock{0, 0, 0, 0, 0xFA}));
    auto it = std::find_if(blocks.begin(), blocks.end(), [](const auto &b) { return b.block[4] == 0x8C; });
    QVERIFY(it != blocks.end());
    QCOMPARE(it->block, (CommandBlock{2, 0, 0, 2, 0x8C}));
    QVERIFY(std::next(it) != blocks.end());
    QCOMPARE(std::next(it)->block, (CommandBlock{0, 0, 0, 2, 0x10}));

    // A knob turned on the radio shows within a poll.
    server.withRadio([](sim::VirtualRadio &r) { r.setSubFilterByte(0x22); });
    QTRY_VERIFY_WITH_TIMEOUT(window.button(Sub2400)->palette().color(QPalette::Button) == kLitGreen, 3000);
    window.close();
    QVERIFY(!window.serialLine().IsOpen());
}

QTEST_MAIN(tst_Selection)
#include "tst_selection.moc"

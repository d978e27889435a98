// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its layout, focus arrangement and keys, lamps, timer and unloading, driven
// against the in-process virtual radio on a clock that only moves when waited on.
#include "testrig.h"

#include "filters/filtertable.h"
#include "radio/commandblock.h"
#include "radio/lineowner.h"
#include "share/radioshare.h"
#include "ui/desktopplatform.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaEnum>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <set>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

QWidget *client(const Rig &rig) { return rig.window->centralWidget(); }

QWidget *dummy(const Rig &rig) { return client(rig)->findChild<QWidget *>(QStringLiteral("cmdDummy")); }

void showActive(Rig &rig) {
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
}

// The FilterSelect blocks among the writes: one five-byte write with the select opcode each.
QList<QByteArray> selects(const Rig &rig) {
    QList<QByteArray> found;
    for (const QByteArray &w : rig.line->writes())
        if (w.size() == 5 && static_cast<quint8>(w.back()) == 0x8C)
            found << w;
    return found;
}

// The focus mark is a ring just inside the bevel: with it, hardly a pixel of that ring is the face
// colour; without it, hardly one is anything else.
double ringShareInFaceColour(const QImage &shot, const QWidget *button) {
    const QRect ring =
        QRect(button->mapTo(button->window(), QPoint()), button->size())
            .adjusted(LampButton::kBorder, LampButton::kBorder, -LampButton::kBorder, -LampButton::kBorder);
    const QColor face = static_cast<const LampButton *>(button)->faceColour();
    int same = 0, all = 0;
    auto count = [&](int x, int y) {
        ++all;
        same += QColor(shot.pixel(x, y)) == face;
    };
    for (int x = ring.left(); x <= ring.right(); ++x) {
        count(x, ring.top());
        count(x, ring.bottom());
    }
    for (int y = ring.top() + 1; y < ring.bottom(); ++y) {
        count(ring.left(), y);
        count(ring.right(), y);
    }
    return double(same) / all;
}

// What the accessibility bridge was told of the filter buttons and the lamps' news, as a screen
// reader would hear it: "Hi_250_Cmd StateChanged", "lampNews NameChanged <what it says>".
QStringList g_told;
bool g_listening = false;

} // namespace

// The bridge itself: headless platforms have none, and Qt tells it nothing while no screen reader
// is there. Every notification of the window's, its own and Qt's widgets', comes through here.
void QAccessible::updateAccessibility(QAccessibleEvent *event) {
    QObject *object = event->object();
    if (!g_listening || (!qobject_cast<LampButton *>(object) && !qobject_cast<LampNews *>(object)))
        return;
    QString told = object->objectName() + QLatin1Char(' ') +
                   QString::fromLatin1(QMetaEnum::fromType<QAccessible::Event>().valueToKey(event->type()));
    if (event->type() == QAccessible::NameChanged)
        told += QLatin1Char(' ') + static_cast<QWidget *>(object)->accessibleName();
    g_told << told;
}

namespace {

// One poll, painted, and whatever it posted to the event loop run (the news goes out from there).
QStringList toldOfOnePoll(Rig &rig) {
    g_told.clear();
    rig.window->Timer1_Timer();
    if (!rig.settle())
        return {QStringLiteral("(the poll did not finish)")};
    bool ran = false;
    QTimer::singleShot(0, [&ran] { ran = true; });
    if (!QTest::qWaitFor([&ran] { return ran; }, 5000))
        return {QStringLiteral("(the event loop did not come round)")};
    g_told.sort();
    return g_told;
}

} // namespace

Q_DECLARE_METATYPE(quillon::FilterId)

class tst_MainWindow : public QObject {
    Q_OBJECT

private slots:
    void shouldLayOutEveryControlAsDesigned_data();
    void shouldLayOutEveryControlAsDesigned();
    void shouldHaveFixedSizeWithoutMaximise();
    void shouldOfferHelpMenuWithTwoItems();
    void shouldShowIdleInTheThemesButtonFace();
    void shouldTabRoundTheFilterButtonsOnly();
    void shouldMoveWithTheArrowsOnTheGrid_data();
    void shouldMoveWithTheArrowsOnTheGrid();
    void shouldMarkTheFocusOnlyOnceTheKeyboardIsUsed();
    void shouldSelectEveryFilterByItsKey_data();
    void shouldSelectEveryFilterByItsKey();
    void shouldSendNothingOnKeysAfterAClick_data();
    void shouldSendNothingOnKeysAfterAClick();
    void shouldShowLayoutAndLampsInScreenshot();
    void shouldRunTimerOnlyOnceRadioIsFound();
    void shouldNotPollWhileFailureMessageIsUp();
    void shouldShowThePlainMessageBoxWithItsCause();
    void shouldUnloadExactlyOnce();
    void shouldEndTheSearchQuietlyWhenTheOwnerStops_data();
    void shouldEndTheSearchQuietlyWhenTheOwnerStops();
    void shouldKeepATickThatFallsDueDuringAPoll();
    void shouldTellAScreenReaderOfChangesOnly_data();
    void shouldTellAScreenReaderOfChangesOnly();
    void shouldForgetSharedRepliesWhenItSelectsAFilter();
};

void tst_MainWindow::shouldLayOutEveryControlAsDesigned_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry"); // pixels in the client area
    QTest::addColumn<bool>("bold");

    auto row = [](const char *name, const char *caption, QRect r, bool bold = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(caption) << r << bold;
    };
    row("BWlbl", "RECEIVER BANDWIDTH", {72, 16, 149, 15}, true);
    row("lblMain", "MAIN RCVR", {64, 48, 65, 17});
    row("Hi_IF_Lbl", "8.215", {48, 72, 41, 17});
    row("Lo_IF_Lbl", "455", {104, 72, 41, 17});
    row("lblSub", "SUB RCVR", {184, 72, 57, 17});
    row("Hi_250_Cmd", "250", {48, 96, 41, 17});
    row("Hi_500_Cmd", "500", {48, 120, 41, 17});
    row("Hi_2000_Cmd", "2.0K", {48, 144, 41, 17});
    row("Hi_2400_Cmd", "2.4K", {48, 168, 41, 17});
    row("Hi_Thru_Cmd", "THRU", {48, 192, 41, 17});
    row("Lo_250_Cmd", "250", {104, 96, 41, 17});
    row("Lo_500_Cmd", "500", {104, 120, 41, 17});
    row("Lo_2000_Cmd", "2.0K", {104, 144, 41, 17});
    row("Lo_2400_Cmd", "2.4K", {104, 168, 41, 17});
    row("Lo_6000_Cmd", "6.0K", {104, 192, 41, 17});
    row("cmdSub500", "500", {192, 96, 41, 17});
    row("cmdSub2400", "2.4K", {192, 120, 41, 17});
    row("cmdSub6000", "6.0K", {192, 144, 41, 17});
    row("cmdDummy", "dum", {312, 8, 33, 17});
    row("Shape1", "", {32, 56, 129, 169});
    row("Shape2", "", {176, 80, 73, 97});
}

void tst_MainWindow::shouldLayOutEveryControlAsDesigned() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(bool, bold);

    Rig rig;
    auto *w = client(rig)->findChild<QWidget *>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->parentWidget(), client(rig));
    QCOMPARE(w->geometry(), geometry);
    if (auto *label = qobject_cast<QLabel *>(w))
        QCOMPARE(label->text(), caption);
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        QCOMPARE(b->text(), caption);
    else
        QVERIFY(caption.isEmpty());
    if (!name.startsWith(QLatin1String("Shape"))) {
        QCOMPARE(w->font().pointSizeF(), 8.25);
        QCOMPARE(w->font().bold(), bold);
    }
    if (auto *label = qobject_cast<QLabel *>(w)) {
        QCOMPARE(label->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::white));
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }
    if (name.startsWith(QLatin1String("Shape")))
        QVERIFY(w->testAttribute(Qt::WA_TransparentForMouseEvents));
}

void tst_MainWindow::shouldHaveFixedSizeWithoutMaximise() {
    Rig rig;
    frmQuillon &w = *rig.window;
    QCOMPARE(w.objectName(), QStringLiteral("frmQuillon"));
    QCOMPARE(w.windowTitle(), QStringLiteral("FT-1000MP & Mark V Filter Selector"));
    QCOMPARE(client(rig)->size(), QSize(282, 240));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QCOMPARE(w.size().height(), 240 + w.menuBar()->sizeHint().height());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!w.windowIcon().isNull());
    // Nothing of cmdDummy, or of the screen reader's notification, shows inside the client area.
    for (const char *unseen : {"cmdDummy", "lampNews"})
        QVERIFY(!client(rig)->rect().intersects(client(rig)->findChild<QWidget *>(unseen)->geometry()));
}

void tst_MainWindow::shouldOfferHelpMenuWithTwoItems() {
    Rig rig;
    auto *help = rig.window->findChild<QMenu *>(QStringLiteral("mnuHelp"));
    QVERIFY(help);
    QCOMPARE(help->title(), QStringLiteral("&Help"));
    QCOMPARE(rig.window->menuBar()->actions().size(), 1);
    const QList<QAction *> items = help->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0]->objectName(), QStringLiteral("itmContents"));
    QCOMPARE(items[0]->text(), QStringLiteral("Contents"));
    QCOMPARE(items[1]->objectName(), QStringLiteral("itmAbout"));
    QCOMPARE(items[1]->text(), QStringLiteral("About Quillon"));

    // Alt+H opens it from the keyboard.
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QTest::keyClick(rig.window.get(), Qt::Key_H, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activePopupWidget(), help, 5000);
    help->close();

    items[0]->trigger();
    QCOMPARE(rig.platform.help.size(), 1);
    QCOMPARE(rig.platform.help[0].first, QStringLiteral("Quillon.hlp"));
    QCOMPARE(rig.platform.help[0].second, 3);
}

// Idle is the theme's own button face, whatever that is, and follows a change of colour scheme at
// the next poll; lit is the console palette's light green. Both are compared with the colours
// themselves, not with what the window reports them to be.
void tst_MainWindow::shouldShowIdleInTheThemesButtonFace() {
    const QPalette saved = QApplication::palette();
    const auto restore = qScopeGuard([&] { QApplication::setPalette(saved); });
    const QColor face(0x12, 0x34, 0x56), changedFace(0xA0, 0x90, 0x80);
    QApplication::setPalette(QPalette(face));

    Rig rig;
    rig.radio.setMainFilterByte(0x12); // 8.215 MHz 2.4K, 455 kHz 2.0K
    rig.radio.setSubFilterByte(0x22);  // sub 2.4K
    for (const FilterButtonInfo &info : filterButtons())
        QVERIFY2(rig.face(info.id) == face, info.name);
    QVERIFY(rig.window->Form_Load());
    QCOMPARE(rig.platform.beeps, 1);
    for (const FilterButtonInfo &info : filterButtons()) {
        QVERIFY2(rig.face(info.id) == face, info.name);
        // The keyboard reaches it; a click never gives it the focus.
        QCOMPARE(rig.window->button(info.id)->focusPolicy(), Qt::TabFocus);
        QCOMPARE(rig.window->button(info.id)->objectName(), QString::fromLatin1(info.name));
    }

    QApplication::setPalette(QPalette(changedFace));
    rig.window->Timer1_Timer();
    QVERIFY(rig.settle());
    const std::set<FilterId> lit{FilterId::Hi_2400, FilterId::Lo_2000, FilterId::Sub2400};
    for (const FilterButtonInfo &info : filterButtons())
        QVERIFY2(rig.face(info.id) == (lit.count(info.id) ? kLitGreen : changedFace), info.name);
}

// Tab goes down each column in turn, left to right, as the buttons' tab indexes run, and round
// again without stopping at cmdDummy beyond the window's edge; Shift+Tab the other way.
void tst_MainWindow::shouldTabRoundTheFilterButtonsOnly() {
    Rig rig;
    showActive(rig);
    for (const Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab}) {
        dummy(rig)->setFocus();
        for (std::size_t i = 0; i < 2 * kFilterCount; ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            const std::size_t n = i % kFilterCount;
            const FilterButtonInfo &want = filterButtons()[key == Qt::Key_Tab ? n : kFilterCount - 1 - n];
            QCOMPARE(QApplication::focusWidget(), rig.window->button(want.id));
        }
    }
}

void tst_MainWindow::shouldMoveWithTheArrowsOnTheGrid_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("to");
    auto row = [](const char *from, Qt::Key key, const char *to) {
        QTest::addRow("%s %s", from, qPrintable(QKeySequence(key).toString()))
            << QString::fromLatin1(from) << int(key) << QString::fromLatin1(to);
    };
    row("cmdDummy", Qt::Key_Down, "Hi_250_Cmd"); // from the hidden start into the grid
    row("cmdDummy", Qt::Key_Up, "cmdSub6000");
    row("Hi_250_Cmd", Qt::Key_Down, "Hi_500_Cmd"); // within a column, stopping at its ends
    row("Hi_250_Cmd", Qt::Key_Up, "Hi_250_Cmd");
    row("cmdSub6000", Qt::Key_Down, "cmdSub6000");
    row("Hi_2400_Cmd", Qt::Key_Right, "Lo_2400_Cmd"); // across, to the same or the nearest row
    row("Lo_6000_Cmd", Qt::Key_Right, "cmdSub6000");
    row("cmdSub6000", Qt::Key_Left, "Lo_2000_Cmd");
    row("Hi_2000_Cmd", Qt::Key_Left, "Hi_2000_Cmd");
    row("cmdSub2400", Qt::Key_Right, "cmdSub2400");
}

void tst_MainWindow::shouldMoveWithTheArrowsOnTheGrid() {
    QFETCH(QString, from);
    QFETCH(int, key);
    QFETCH(QString, to);
    Rig rig;
    showActive(rig);
    client(rig)->findChild<QWidget *>(from)->setFocus(Qt::TabFocusReason);
    rig.line->clearCalls();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(QApplication::focusWidget(), client(rig)->findChild<QWidget *>(to));
    QVERIFY(rig.settle());
    QVERIFY(selects(rig).isEmpty());
}

// The mouse user's window is the designed one, with no focus mark however many clicks; the first
// Tab shows the mark on the button it reaches, lit or not, and a click takes it away again.
void tst_MainWindow::shouldMarkTheFocusOnlyOnceTheKeyboardIsUsed() {
    Rig rig;
    showActive(rig);
    auto marked = [&] {
        const QImage shot = rig.window->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QStringList names;
        for (const FilterButtonInfo &info : filterButtons()) {
            const double face = ringShareInFaceColour(shot, rig.window->button(info.id));
            if (face < 0.9)
                names << QStringLiteral("%1%2").arg(info.name, face < 0.1 ? "" : " (part of a ring)");
        }
        return names;
    };
    for (FilterId id : {FilterId::Lo_6000, FilterId::Hi_250, FilterId::Sub500}) {
        QTest::mouseClick(rig.window->button(id), Qt::LeftButton);
        QVERIFY(rig.settle());
        QCOMPARE(marked(), QStringList());
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(rig.lit(FilterId::Hi_250));
    QCOMPARE(marked(), QStringList{QStringLiteral("Hi_250_Cmd")});
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QCOMPARE(marked(), QStringList{QStringLiteral("Hi_500_Cmd")});
    QTest::mouseClick(rig.window->button(FilterId::Lo_250), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), dummy(rig));
    QCOMPARE(marked(), QStringList());
}

void tst_MainWindow::shouldSelectEveryFilterByItsKey_data() {
    QTest::addColumn<FilterId>("id");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QByteArray>("select");
    const int ctrl = Qt::ControlModifier, alt = Qt::AltModifier, ctrlShift = ctrl | Qt::ShiftModifier;
    auto row = [](FilterId id, int modifiers, Qt::Key key, const char *select) {
        QTest::addRow(
            "%s %s", filterButton(id).name,
            qPrintable(QKeySequence(QKeyCombination(Qt::KeyboardModifiers(modifiers), key)).toString()))
            << id << int(key) << modifiers << QByteArray::fromHex(select);
    };
    // Every filter: the digit counts the widths from the narrowest, the modifier names the group.
    row(FilterId::Hi_250, ctrl, Qt::Key_1, "010000038c");
    row(FilterId::Hi_500, ctrl, Qt::Key_2, "010000028c");
    row(FilterId::Hi_2000, ctrl, Qt::Key_3, "010000018c");
    row(FilterId::Hi_2400, ctrl, Qt::Key_4, "010000008c");
    row(FilterId::Hi_Thru, ctrl, Qt::Key_5, "010000048c");
    row(FilterId::Lo_250, alt, Qt::Key_1, "020000038c");
    row(FilterId::Lo_500, alt, Qt::Key_2, "020000028c");
    row(FilterId::Lo_2000, alt, Qt::Key_3, "020000018c");
    row(FilterId::Lo_2400, alt, Qt::Key_4, "020000008c");
    row(FilterId::Lo_6000, alt, Qt::Key_5, "020000048c");
    row(FilterId::Sub500, ctrlShift, Qt::Key_2, "000000828c");
    row(FilterId::Sub2400, ctrlShift, Qt::Key_4, "000000808c");
    row(FilterId::Sub6000, ctrlShift, Qt::Key_5, "000000848c");
    // On the focused button, as a click.
    row(FilterId::Lo_500, 0, Qt::Key_Space, "020000028c");
    row(FilterId::Hi_Thru, 0, Qt::Key_Return, "010000048c");
    row(FilterId::Sub2400, 0, Qt::Key_Enter, "000000808c");
}

// A key does what a click on its button does, once: the select, then the re-read that lights the
// lamp. A filter's own key works wherever the focus is; no key moves the focus, and held down,
// none repeats. The button's tooltip names its key.
void tst_MainWindow::shouldSelectEveryFilterByItsKey() {
    QFETCH(FilterId, id);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QByteArray, select);
    const auto mods = Qt::KeyboardModifiers(modifiers);
    Rig rig;
    showActive(rig);
    rig.window->timer()->stop(); // only the key's own re-read can light the lamp
    QList<QWidget *> focusAt{rig.window->button(id)};
    if (mods != Qt::NoModifier) {
        focusAt = {dummy(rig), rig.window->button(FilterId::Lo_6000)};
        const QString text =
            QKeySequence(QKeyCombination(mods, Qt::Key(key))).toString(QKeySequence::NativeText);
        QVERIFY2(rig.window->button(id)->toolTip().contains(text),
                 qPrintable(rig.window->button(id)->toolTip()));
    }
    for (QWidget *focus : focusAt) {
        // Lamps elsewhere in every group, so the one that lights is the key's doing.
        rig.radio.setMainFilterByte(id == FilterId::Hi_250 || id == FilterId::Lo_250 ? 0x22 : 0x44);
        rig.radio.setSubFilterByte(id == FilterId::Sub500 ? 0x00 : 0x33);
        rig.window->Timer1_Timer();
        QVERIFY(rig.settle());
        QVERIFY(!rig.lit(id));
        focus->setFocus(Qt::TabFocusReason);
        rig.line->clearCalls();
        QTest::keyClick(focus, Qt::Key(key), mods);
        QTRY_VERIFY_WITH_TIMEOUT(rig.lit(id), 5000);
        QCOMPARE(selects(rig), QList<QByteArray>{select});
        QCOMPARE(QApplication::focusWidget(), focus);
        // With a screen reader listening, Qt's AT-SPI bridge may hand the Alt back alone after the
        // digit was taken (as under Orca): the menu bar must not take the focus for it.
        QTest::keyPress(rig.window.get(), Qt::Key_Alt, Qt::AltModifier);
        QTest::keyRelease(rig.window.get(), Qt::Key_Alt, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), focus);

        rig.line->clearCalls();
        QTest::simulateEvent(focus, true, key, mods, QString(), true); // held: the repeats
        QTest::simulateEvent(focus, true, key, mods, QString(), true);
        QTest::simulateEvent(focus, false, key, mods, QString(), false);
        QVERIFY(rig.settle());
        QVERIFY(selects(rig).isEmpty());
    }
}

void tst_MainWindow::shouldSendNothingOnKeysAfterAClick_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("dragAway"); // press on the button, release elsewhere: no click
    QTest::newRow("space") << int(Qt::Key_Space) << false;
    QTest::newRow("return") << int(Qt::Key_Return) << false;
    QTest::newRow("enter") << int(Qt::Key_Enter) << false;
    QTest::newRow("space after an aborted press") << int(Qt::Key_Space) << true;
    QTest::newRow("return after an aborted press") << int(Qt::Key_Return) << true;
}

void tst_MainWindow::shouldSendNothingOnKeysAfterAClick() {
    QFETCH(int, key);
    QFETCH(bool, dragAway);
    Rig rig;
    QVERIFY(rig.window->Form_Load());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QPushButton *b = rig.window->button(FilterId::Lo_6000);
    rig.line->clearCalls();

    if (dragAway) {
        QTest::mousePress(b, Qt::LeftButton);
        QTest::mouseRelease(client(rig), Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(rig.line->writes().empty());
    } else {
        QTest::mouseClick(b, Qt::LeftButton);
        QVERIFY(rig.settle());
        QCOMPARE(rig.line->writes().front(), QByteArray::fromHex("020000048c"));
    }
    rig.line->clearCalls();
    QWidget *focus = QApplication::focusWidget();
    QCOMPARE(focus, client(rig)->findChild<QWidget *>(QStringLiteral("cmdDummy")));
    QTest::keyClick(focus, Qt::Key(key));
    QTest::keyClick(rig.window.get(), Qt::Key(key));
    QVERIFY(rig.settle());
    QVERIFY(rig.line->writes().empty());
}

void tst_MainWindow::shouldShowLayoutAndLampsInScreenshot() {
    Rig rig;
    rig.radio.setMainFilterByte(0x12); // 8.215 MHz 2.4K, 455 kHz 2.0K
    rig.radio.setSubFilterByte(0x22);  // sub 2.4K
    QVERIFY(rig.window->Form_Load());
    rig.window->Timer1_Timer();
    QVERIFY(rig.settle());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));

    const QImage shot = rig.window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.devicePixelRatio(), 1.0);
    const QPoint origin = client(rig)->geometry().topLeft();
    auto at = [&](int x, int y) { return QColor(shot.pixel(origin + QPoint(x, y))); };
    const QColor black(Qt::black), white(Qt::white);

    // Panel background, inside and outside the frames.
    for (QPoint p : {QPoint(2, 2), QPoint(270, 230), QPoint(40, 80), QPoint(200, 200), QPoint(280, 100)})
        QVERIFY2(at(p.x(), p.y()) == black, qPrintable(QStringLiteral("(%1,%2)").arg(p.x()).arg(p.y())));
    // Frame outlines: straight edges of both frames are white.
    for (QPoint p : {QPoint(32, 140), QPoint(160, 140), QPoint(96, 224), QPoint(40, 56), QPoint(150, 56),
                     QPoint(176, 128), QPoint(248, 128), QPoint(212, 176)})
        QVERIFY2(at(p.x(), p.y()) == white, qPrintable(QStringLiteral("(%1,%2)").arg(p.x()).arg(p.y())));
    // The title boxes break the frame line where they stand.
    QCOMPARE(at(65, 56), black);
    QCOMPARE(at(185, 80), black);

    // Every face pixel outside the bevel and the caption is exactly the lamp colour.
    const QColor idle = QApplication::palette().color(QPalette::Button);
    const QList<QPair<FilterId, QColor>> expected = {
        {FilterId::Hi_2400, kLitGreen}, {FilterId::Lo_2000, kLitGreen}, {FilterId::Sub2400, kLitGreen},
        {FilterId::Hi_Thru, idle},      {FilterId::Lo_6000, idle},      {FilterId::Sub500, idle},
    };
    for (const auto &[id, colour] : expected) {
        QPushButton *b = rig.window->button(id);
        const QRect box = b->geometry();
        // The caption's ink, placed as a centred drawText places it, with a pixel of blending.
        const QFontMetrics fm(b->font());
        const QRect layout = fm.boundingRect(QRect(QPoint(0, 0), box.size()), Qt::AlignCenter, b->text());
        const QRect caption = fm.tightBoundingRect(b->text())
                                  .translated(layout.left(), layout.top() + fm.ascent())
                                  .adjusted(-1, -1, 1, 1)
                                  .translated(box.topLeft());
        const QRect face = box.adjusted(LampButton::kBorder, LampButton::kBorder, -LampButton::kBorder,
                                        -LampButton::kBorder);
        int checked = 0;
        for (int y = face.top(); y <= face.bottom(); ++y) {
            for (int x = face.left(); x <= face.right(); ++x) {
                if (caption.contains(x, y))
                    continue;
                ++checked;
                if (at(x, y) != colour)
                    QFAIL(qPrintable(QStringLiteral("%1 at (%2,%3) is %4, expected %5")
                                         .arg(b->objectName())
                                         .arg(x - box.left())
                                         .arg(y - box.top())
                                         .arg(at(x, y).name(), colour.name())));
            }
        }
        QVERIFY2(checked > 100, qPrintable(QString::number(checked)));
        // The caption itself is drawn in a darker colour than the face.
        bool captionInk = false;
        for (int y = caption.top(); y <= caption.bottom() && !captionInk; ++y)
            for (int x = caption.left(); x <= caption.right() && !captionInk; ++x)
                captionInk = at(x, y).lightness() < colour.lightness() - 60;
        QVERIFY2(captionInk, qPrintable(b->objectName()));
    }
}

void tst_MainWindow::shouldRunTimerOnlyOnceRadioIsFound() {
    Rig rig;
    QTimer *t = rig.window->timer();
    QCOMPARE(t->objectName(), QStringLiteral("Timer1"));
    QCOMPARE(t->interval(), 500);
    QCOMPARE(t->timerType(), Qt::PreciseTimer);
    QVERIFY(!t->isSingleShot());
    QVERIFY(!t->isActive());
    QVERIFY(rig.window->Form_Load());
    QVERIFY(t->isActive());

    Rig lonely(false);
    QVERIFY(!lonely.window->Form_Load());
    QVERIFY(!lonely.window->timer()->isActive());
    QCOMPARE(lonely.platform.messages,
             QStringList{QStringLiteral("I couldn't find the FT-1000MP on any COM port")});
    QCOMPARE(lonely.platform.captions, QStringList{QStringLiteral("Quillon")});
    // No port exists behind any COM number of this rig: the box says so under its text.
    QCOMPARE(lonely.platform.details.size(), 1);
    QVERIFY2(lonely.platform.details.front().startsWith(QStringLiteral("This computer has no serial ports.")),
             qPrintable(lonely.platform.details.front()));
    QCOMPARE(lonely.platform.beeps, 0);
    QVERIFY(!lonely.window->isVisible());
    QVERIFY(!lonely.line->IsOpen());
}

void tst_MainWindow::shouldNotPollWhileFailureMessageIsUp() {
    Rig rig(false);
    std::size_t callsBefore = 0;
    std::size_t callsAfter = 0;
    // A real message box runs its own event loop; let events run for longer than two ticks.
    rig.platform.whileMessageShown = [&] {
        callsBefore = rig.line->calls().size();
        QEventLoop loop;
        QTimer::singleShot(1200, &loop, &QEventLoop::quit);
        loop.exec();
        callsAfter = rig.line->calls().size();
    };
    QVERIFY(!rig.window->Form_Load());
    QVERIFY(callsBefore > 0);
    QCOMPARE(callsAfter, callsBefore);
    const std::size_t callsUnloaded = rig.line->calls().size();
    QTest::qWait(700);
    QCOMPARE(rig.line->calls().size(), callsUnloaded);
}

// The real box: the design's text and caption, OK only, no icon, and the cause beneath.
void tst_MainWindow::shouldShowThePlainMessageBoxWithItsCause() {
    DesktopPlatform platform;
    QString seen;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            seen = QStringLiteral("no modal message box");
            return;
        }
        seen = QStringList{box->windowTitle(), box->text(), box->informativeText(),
                           QString::number(box->standardButtons()), QString::number(box->icon())}
                   .join(QLatin1Char('|'));
        box->button(QMessageBox::Ok)->click();
    });
    platform.showMessage(QStringLiteral("I couldn't find the FT-1000MP on any COM port"),
                         QStringLiteral("Quillon"), QStringLiteral("COM1 is in use by another program."));
    QCOMPARE(seen, QStringList({QStringLiteral("Quillon"),
                                QStringLiteral("I couldn't find the FT-1000MP on any COM port"),
                                QStringLiteral("COM1 is in use by another program."),
                                QString::number(QMessageBox::Ok), QString::number(QMessageBox::NoIcon)})
                       .join(QLatin1Char('|')));
}

void tst_MainWindow::shouldUnloadExactlyOnce() {
    {
        Rig rig;
        QVERIFY(rig.window->Form_Load());
        rig.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        const int closesBefore = rig.line->closeCount();
        QVERIFY(rig.line->IsOpen());
        rig.window->close();
        QCOMPARE(rig.line->closeCount(), closesBefore + 1);
        QVERIFY(!rig.line->IsOpen());
        QVERIFY(!rig.window->timer()->isActive());
        rig.window->Form_Unload();
        rig.window->close();
        QCOMPARE(rig.line->closeCount(), closesBefore + 1);
    }
    {
        // Failure path: the search closed every port; unloading closes nothing more.
        Rig rig(false);
        QVERIFY(!rig.window->Form_Load());
        QVERIFY(rig.window->isUnloaded());
        const int closes = rig.line->closeCount();
        QCOMPARE(rig.line->openPort(), qint16(0));
        rig.window->close();
        QCOMPARE(rig.line->closeCount(), closes);
    }
}

void tst_MainWindow::shouldEndTheSearchQuietlyWhenTheOwnerStops_data() {
    QTest::addColumn<bool>("queued"); // false: stopped before the search is asked for
    QTest::newRow("stopped before the search is asked for") << false;
    QTest::newRow("stopped while the search waits behind another job") << true;
}

// The owner drops jobs once stopped and never runs those still queued then: the window's wait for
// its search must end all the same, with the search taken as not found and nothing told.
void tst_MainWindow::shouldEndTheSearchQuietlyWhenTheOwnerStops() {
    QFETCH(bool, queued);
    Rig rig; // a radio is there: a search that ran would find it
    LineOwner &owner = rig.window->lineOwner();
    std::atomic<bool> holding{false};
    if (queued) {
        owner.post(LineOwner::Priority::Operator, [&](LineOwner::Context &) {
            holding = true;
            while (!owner.isStopped())
                std::this_thread::sleep_for(1ms);
        });
        QTRY_VERIFY(holding);
        // Runs in the window's wait, once the search has been posted behind the job above.
        QTimer::singleShot(0, rig.window.get(), [&] { owner.stop(); });
    } else {
        owner.stop();
    }
    // A wait that never ends cannot be timed from outside it: this ends every loop, and says so.
    bool gaveUp = false;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, [&] {
        gaveUp = true;
        QCoreApplication::exit(1);
    });
    bound.start(10000);
    const bool found = rig.window->Form_Load();
    bound.stop();
    QVERIFY2(!gaveUp, "the window still waited for a search the owner will never run");
    QVERIFY(!found);
    QVERIFY(rig.window->isUnloaded());
    QVERIFY(!rig.window->isBusy());
    QVERIFY(!rig.window->timer()->isActive());
    QCOMPARE(rig.platform.messages, QStringList());
    QCOMPARE(rig.platform.beeps, 0);
    QVERIFY(!rig.line->IsOpen());
    QVERIFY(rig.line->writes().empty());
}

// A tick while a poll is still on its way is kept, once: the poll after a slow one follows at
// once instead of a whole interval later (a gap in the lamps), and two late ticks are one poll.
void tst_MainWindow::shouldKeepATickThatFallsDueDuringAPoll() {
    Rig rig;
    showActive(rig);
    QVERIFY(rig.settle());
    // Running, so a kept tick may follow, but never due by itself during the test.
    rig.window->timer()->start(std::chrono::hours(1));
    QSignalSpy polls(rig.window.get(), &frmQuillon::pollCompleted);
    rig.window->Timer1_Timer();
    // The first poll's replies reach the window only through its event loop: still on its way.
    rig.window->Timer1_Timer();
    rig.window->Timer1_Timer();
    QTRY_COMPARE_WITH_TIMEOUT(polls.size(), 2, 5000);
    QVERIFY(rig.settle());
    QCOMPARE(polls.size(), 2);
}

// The window's own select changes the record the sharing clients read: a stored copy from before
// it would tell them of the old filter.
void tst_MainWindow::shouldForgetSharedRepliesWhenItSelectsAFilter() {
    Rig rig;
    showActive(rig);
    QVERIFY(rig.settle());
    rig.window->timer()->stop();
    RadioShare share(rig.window->lineOwner());
    rig.window->setShare(&share);
    const CommandBlock main = statusBlock(kStatusMain);
    share.store()->put(main, QByteArray(16, '\0'), rig.platform.manualClock.now());
    QVERIFY(share.store()->fresh(main, rig.platform.manualClock.now()));
    rig.window->FilterPath = 2;
    rig.window->FilterCode = 3;
    rig.window->SwitchFilters();
    QVERIFY(rig.window->lineOwner().drain(std::chrono::seconds(5)));
    QCOMPARE(selects(rig), QList<QByteArray>{QByteArray::fromHex("020000038c")});
    QVERIFY(!share.store()->fresh(main, rig.platform.manualClock.now()));
    rig.window->setShare(nullptr);
}

void tst_MainWindow::shouldTellAScreenReaderOfChangesOnly_data() {
    QTest::addColumn<int>("main"); // the radio's filter bytes for the poll, after 0x22 and 0x33
    QTest::addColumn<int>("sub");
    QTest::addColumn<QStringList>("told"); // by that poll; the polls after it tell nothing
    const auto changed = [](const char *off, const char *on) {
        return QStringList{QStringLiteral("%1 DescriptionChanged").arg(QLatin1String(off)),
                           QStringLiteral("%1 StateChanged").arg(QLatin1String(off)),
                           QStringLiteral("%1 DescriptionChanged").arg(QLatin1String(on)),
                           QStringLiteral("%1 StateChanged").arg(QLatin1String(on))};
    };
    const QStringList news{QStringLiteral("lampNews ObjectHide"), QStringLiteral("lampNews ObjectShow")};
    QTest::newRow("nothing changed") << 0x22 << 0x33 << QStringList();
    QStringList both = changed("Hi_2000_Cmd", "Hi_250_Cmd") + changed("Lo_2000_Cmd", "Lo_250_Cmd") + news;
    both << QStringLiteral("lampNews NameChanged Main receiver, 8.215 MHz, 250 Hz filter, in use; Main "
                           "receiver, 455 kHz, 250 Hz filter, in use");
    both.sort();
    QTest::newRow("both main filters") << 0x44 << 0x33 << both;
    QStringList sub = changed("cmdSub500", "cmdSub6000") + news;
    sub << QStringLiteral("lampNews NameChanged Sub receiver, 6.0 kHz filter, in use");
    sub.sort();
    QTest::newRow("the sub receiver's filter") << 0x22 << 0x00 << sub;
}

// A screen reader hears a lamp that changed, once, and nothing of the polls that change nothing:
// twice a second it would drown everything else out.
void tst_MainWindow::shouldTellAScreenReaderOfChangesOnly() {
    QFETCH(int, main);
    QFETCH(int, sub);
    QFETCH(QStringList, told);
    Rig rig;
    showActive(rig);
    rig.window->timer()->stop(); // the test's own polls only
    rig.radio.setMainFilterByte(0x22);
    rig.radio.setSubFilterByte(0x33);
    g_listening = true;
    const auto deaf = qScopeGuard([] { g_listening = false; });
    toldOfOnePoll(rig);
    QCOMPARE(litOn(*rig.window), lampsFor(0x22, 0x33));
    rig.radio.setMainFilterByte(quint8(main));
    rig.radio.setSubFilterByte(quint8(sub));
    QCOMPARE(toldOfOnePoll(rig), told);
    QCOMPARE(litOn(*rig.window), lampsFor(quint8(main), quint8(sub)));
    for (int poll = 0; poll < 3; ++poll)
        QCOMPARE(toldOfOnePoll(rig), QStringList());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

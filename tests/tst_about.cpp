// SPDX-License-Identifier: GPL-3.0-or-later
// The About box and help: one modeless box without owner, its keys, the help viewer's search
// and what stays working meanwhile.
#include "testrig.h"

#include "ui/frmabout.h"
#include "ui/helpviewer.h"

#include "filters/filtertable.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quillon;
using namespace quillon::testing;

namespace {

bool loadAndShow(Rig &rig) {
    if (!rig.window->Form_Load())
        return false;
    rig.window->show();
    return QTest::qWaitForWindowExposed(rig.window.get());
}

QList<frmAbout *> visibleAboutBoxes() {
    QList<frmAbout *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<frmAbout *>(w); box && box->isVisible())
            boxes << box;
    return boxes;
}

QStringList labelTexts(const frmAbout *box) {
    QStringList texts;
    for (const char *name : {"Label1", "Label2", "Label3", "Label4"})
        texts << box->findChild<QLabel *>(QString::fromLatin1(name))->text();
    return texts;
}

bool writeFile(const QString &path, const QByteArray &content) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace

class tst_About : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void shouldLayOutTheBoxAsDesigned_data();
    void shouldLayOutTheBoxAsDesigned();
    void shouldBeModelessWithoutOwnerAndFixedSize();
    void shouldKeepOneBoxInFront();
    void shouldShowSameTextsAfterOk();
    void shouldIgnoreEscapeAndPressOkOnEnterOrSpace_data();
    void shouldIgnoreEscapeAndPressOkOnEnterOrSpace();
    void shouldKeepPollingAndClickingWhileBoxIsOpen();
    void shouldKeepRunningUntilBoxClosesToo();
    void shouldAskForContentsOfHelpFile_data();
    void shouldAskForContentsOfHelpFile();
    void shouldLocateHelpFileInSearchOrder_data();
    void shouldLocateHelpFileInSearchOrder();
    void shouldShowHelpOrSayItIsMissing();
    void shouldLookForHelpBesideTheProgramThenInItsDataFolder();
};

void tst_About::cleanup() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<frmAbout *>(w) || qobject_cast<HelpViewer *>(w))
            delete w;
}

void tst_About::shouldLayOutTheBoxAsDesigned_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("bold");
    QTest::newRow("Label1") << "Label1"
                            << QStringLiteral("Quillon %1 (%2)")
                                   .arg(QStringLiteral(QUILLON_TEST_VERSION),
                                        QStringLiteral(QUILLON_TEST_RELEASE_DATE))
                            << QRect(16, 8, 257, 17) << false;
    QTest::newRow("Label2") << "Label2"
                            << "FT-1000MP and Mark V Filter Selector" << QRect(16, 32, 233, 17) << false;
    QTest::newRow("Label3") << "Label3"
                            << "by the Quillon developers, 2026" << QRect(16, 56, 233, 17) << false;
    QTest::newRow("Label4") << "Label4"
                            << "GNU GPL 3 or later" << QRect(16, 80, 105, 17) << false;
    QTest::newRow("cmdOK") << "cmdOK"
                           << "OK" << QRect(112, 104, 57, 25) << true;
}

void tst_About::shouldLayOutTheBoxAsDesigned() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    QFETCH(bool, bold);
    frmAbout *box = frmAbout::showAbout();
    auto *w = box->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->font().bold(), bold);
    QCOMPARE(w->font().pointSizeF(), 8.25);
    if (auto *label = qobject_cast<QLabel *>(w)) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        // One line, and the whole of it fits the label.
        QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= geometry.width(), qPrintable(text));
    } else {
        QCOMPARE(qobject_cast<QPushButton *>(w)->text(), text);
    }
}

void tst_About::shouldBeModelessWithoutOwnerAndFixedSize() {
    Rig rig;
    QVERIFY(loadAndShow(rig));
    rig.window->itmAbout_Click();
    frmAbout *box = frmAbout::instance();
    QVERIFY(box);
    QCOMPARE(box->objectName(), QStringLiteral("frmAbout"));
    QCOMPARE(box->windowTitle(), QStringLiteral("About Quillon"));
    QCOMPARE(box->parentWidget(), nullptr);
    QVERIFY(box->isWindow());
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(box->size(), QSize(279, 143));
    QCOMPARE(box->minimumSize(), box->maximumSize());
    QVERIFY(!(box->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(box->windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!box->windowIcon().isNull());
    QCOMPARE(box->windowIcon().cacheKey(), rig.window->windowIcon().cacheKey());
}

void tst_About::shouldKeepOneBoxInFront() {
    Rig rig;
    QVERIFY(loadAndShow(rig));
    rig.window->itmAbout_Click();
    frmAbout *first = frmAbout::instance();
    QVERIFY(QTest::qWaitForWindowActive(first));
    // The main window comes in front; About again brings the same box back.
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    rig.window->itmAbout_Click();
    QCOMPARE(frmAbout::instance(), first);
    QCOMPARE(visibleAboutBoxes().size(), 1);
    QVERIFY(QTest::qWaitForWindowActive(first));
    QCOMPARE(QApplication::activeWindow(), first);
}

void tst_About::shouldShowSameTextsAfterOk() {
    frmAbout *box = frmAbout::showAbout();
    QVERIFY(QTest::qWaitForWindowExposed(box));
    const QStringList texts = labelTexts(box);
    QPointer<frmAbout> gone = box;
    QTest::mouseClick(box->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
    QVERIFY(visibleAboutBoxes().isEmpty());
    QTRY_VERIFY(gone.isNull()); // unloaded, not merely hidden
    QCOMPARE(frmAbout::instance(), nullptr);

    frmAbout *again = frmAbout::showAbout();
    QVERIFY(again);
    QCOMPARE(labelTexts(again), texts);
    QCOMPARE(visibleAboutBoxes().size(), 1);
}

void tst_About::shouldIgnoreEscapeAndPressOkOnEnterOrSpace_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("closes");
    QTest::newRow("escape") << int(Qt::Key_Escape) << false;
    QTest::newRow("return") << int(Qt::Key_Return) << true;
    QTest::newRow("enter") << int(Qt::Key_Enter) << true;
    QTest::newRow("space") << int(Qt::Key_Space) << true;
}

void tst_About::shouldIgnoreEscapeAndPressOkOnEnterOrSpace() {
    QFETCH(int, key);
    QFETCH(bool, closes);
    frmAbout *box = frmAbout::showAbout();
    QVERIFY(QTest::qWaitForWindowActive(box));
    auto *ok = box->findChild<QPushButton *>(QStringLiteral("cmdOK"));
    QCOMPARE(QApplication::focusWidget(), ok);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(box->isVisible(), !closes);
}

void tst_About::shouldKeepPollingAndClickingWhileBoxIsOpen() {
    Rig rig;
    QVERIFY(loadAndShow(rig));
    rig.window->itmAbout_Click();
    QVERIFY(QTest::qWaitForWindowActive(frmAbout::instance()));

    rig.line->clearCalls();
    QTest::mouseClick(rig.window->button(FilterId::Lo_500), Qt::LeftButton);
    QVERIFY(rig.settle());
    QCOMPARE(rig.line->writes().front(), QByteArray::fromHex("020000028c"));
    QCOMPARE(rig.window->button(FilterId::Lo_500)->palette().color(QPalette::Button), kLitGreen);

    // The operator turns the radio's own knob: the next tick of Timer1 shows it.
    rig.radio.setSubFilterByte(0x44);
    QTRY_COMPARE_WITH_TIMEOUT(rig.window->button(FilterId::Sub500)->palette().color(QPalette::Button),
                              kLitGreen, 3000);
    QVERIFY(frmAbout::instance() && frmAbout::instance()->isVisible());
}

void tst_About::shouldKeepRunningUntilBoxClosesToo() {
    QVERIFY(QApplication::quitOnLastWindowClosed());
    Rig rig;
    QVERIFY(loadAndShow(rig));
    rig.window->itmAbout_Click();
    QVERIFY(QTest::qWaitForWindowExposed(frmAbout::instance()));

    // Run the application's own loop, as the program does: close the main window, check a
    // while later that the loop still runs, then close the box, which must end it.
    bool runningAfterMainClosed = false;
    bool gaveUp = false;
    QTimer::singleShot(0, this, [&] { rig.window->close(); });
    QTimer::singleShot(600, this, [&] {
        runningAfterMainClosed = true;
        frmAbout::instance()->findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
    });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, this, [&] {
        gaveUp = true;
        QCoreApplication::quit();
    });
    guard.start(10000);
    QApplication::exec();
    QVERIFY(runningAfterMainClosed);
    QVERIFY(!gaveUp);
    QVERIFY(!rig.line->IsOpen());
}

void tst_About::shouldAskForContentsOfHelpFile_data() {
    QTest::addColumn<bool>("byKey");
    QTest::newRow("Help, Contents") << false;
    QTest::newRow("F1") << true;
}

void tst_About::shouldAskForContentsOfHelpFile() {
    QFETCH(bool, byKey);
    Rig rig;
    QVERIFY(loadAndShow(rig));
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    for (int i = 0; i < 2; ++i) {
        if (byKey)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        else
            rig.window->itmContents_Click();
    }
    const QList<QPair<QString, int>> expected{{QStringLiteral("Quillon.hlp"), 3},
                                              {QStringLiteral("Quillon.hlp"), 3}};
    QCOMPARE(rig.platform.help, expected);
    QCOMPARE(rig.window->commonDialog().HelpFile, QStringLiteral("Quillon.hlp"));
    QCOMPARE(rig.window->commonDialog().HelpCommand, qint16(3));
}

void tst_About::shouldLocateHelpFileInSearchOrder_data() {
    QTest::addColumn<QStringList>("present"); // of the three folders, those holding the file
    QTest::addColumn<QString>("expected");    // the folder it is taken from, or "" for none
    QTest::newRow("current folder") << QStringList{"cwd"} << "cwd";
    QTest::newRow("beside the program") << QStringList{"exe"} << "exe";
    QTest::newRow("installed data") << QStringList{"data"} << "data";
    QTest::newRow("current folder wins") << QStringList{"cwd", "exe", "data"} << "cwd";
    QTest::newRow("program folder before data") << QStringList{"exe", "data"} << "exe";
    QTest::newRow("nowhere") << QStringList{} << "";
}

void tst_About::shouldLocateHelpFileInSearchOrder() {
    QFETCH(QStringList, present);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QStringList path;
    for (const char *dir : {"cwd", "exe", "data"}) {
        QVERIFY(QDir(root.path()).mkpath(QString::fromLatin1(dir)));
        path << root.filePath(QString::fromLatin1(dir));
    }
    for (const QString &dir : present)
        QVERIFY(writeFile(root.filePath(dir + QStringLiteral("/Quillon.hlp")), "<p>help</p>"));
    // A folder that is named like the file is not the file.
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("cwd/sub")));

    const QString found = HelpViewer::locate(QStringLiteral("Quillon.hlp"), path);
    QCOMPARE(found,
             expected.isEmpty()
                 ? QString()
                 : QFileInfo(root.filePath(expected + QStringLiteral("/Quillon.hlp"))).absoluteFilePath());
}

void tst_About::shouldShowHelpOrSayItIsMissing() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(oldCurrent); });
    // The search also looks beside the test program and in the installed data folder; neither
    // may hold a help file for the "missing" half of this test to mean anything.
    if (!HelpViewer::locate(QStringLiteral("Quillon.hlp"), HelpViewer::defaultSearchPath()).isEmpty())
        QSKIP("a Quillon.hlp is installed on this machine");

    Rig rig;
    QVERIFY(loadAndShow(rig));
    // What the desktop platform does with the window's request.
    auto contents = [&rig] {
        rig.window->itmContents_Click();
        const auto &[file, command] = rig.platform.help.last();
        HelpViewer::showHelp(file, command, HelpViewer::defaultSearchPath());
    };

    contents();
    HelpViewer *viewer = HelpViewer::instance();
    QVERIFY(viewer);
    QVERIFY(viewer->isVisible());
    QVERIFY(!viewer->fileFound());
    QVERIFY(viewer->browser()->toPlainText().contains(QStringLiteral("Quillon.hlp")));
    QVERIFY(viewer->browser()->isReadOnly());
    // Nothing else changed: the window is up, the line open, the polls going on.
    QVERIFY(rig.window->isVisible());
    QVERIFY(rig.line->IsOpen());
    QVERIFY(rig.window->timer()->isActive());

    QVERIFY(writeFile(QDir(dir.path()).filePath(QStringLiteral("Quillon.hlp")),
                      "<h2><a name=\"contents\"></a>Contents</h2><p>The lamps show the filters in use.</p>"
                      "<p><a href=\"https://example.invalid/\">elsewhere</a></p>"));
    contents();
    QCOMPARE(HelpViewer::instance(), viewer);
    QVERIFY(viewer->fileFound());
    QCOMPARE(viewer->shownFile(),
             QFileInfo(QDir(dir.path()), QStringLiteral("Quillon.hlp")).absoluteFilePath());
    QVERIFY(viewer->browser()->toPlainText().contains(QStringLiteral("The lamps show the filters in use.")));
    QCOMPARE(viewer->browser()->textCursor().position(), 0); // at its contents topic, the top

    // A link out of the file is not followed: the page stays as it is.
    const QString before = viewer->browser()->toHtml();
    emit viewer->browser()->anchorClicked(QUrl(QStringLiteral("https://example.invalid/")));
    QCOMPARE(viewer->browser()->toHtml(), before);
    QVERIFY(viewer->browser()->source().isEmpty());
}

QTEST_MAIN(tst_About)
void tst_About::shouldLookForHelpBesideTheProgramThenInItsDataFolder() {
    // A moved or unpacked install finds the help in <program folder>/../share/quillon before
    // trying the folder the build was configured for.
    const QStringList path = HelpViewer::defaultSearchPath();
    const QString appDir = QCoreApplication::applicationDirPath();
    // The current folder may be the program's own (ctest runs there): it is then tried once.
    QStringList expected{QDir::currentPath(), appDir,
                         QDir::cleanPath(appDir + QStringLiteral("/../share/quillon"))};
    expected.removeDuplicates();
    QVERIFY(path.size() >= expected.size());
    QCOMPARE(path.mid(0, expected.size()), expected);
    QVERIFY(path.last().endsWith(QStringLiteral("/share/quillon")));
    QCOMPARE(path.size(), QSet<QString>(path.begin(), path.end()).size());
}

#include "tst_about.moc"

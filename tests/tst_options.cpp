// SPDX-License-Identifier: GPL-3.0-or-later
// The command line read before there is an application object: Qt's own options left out with
// their values, and --help telling the truth about what turns sharing on.
#include "ui/options.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTest>

#include <vector>

using namespace quillon;

class tst_Options : public QObject {
    Q_OBJECT
private slots:
    void shouldLeaveQtsOptionsToQt_data();
    void shouldLeaveQtsOptionsToQt();
    void shouldShareWhenHelpSaysSo_data();
    void shouldShareWhenHelpSaysSo();
    void shouldGiveEachProgramItsOwnHelp();
};

void tst_Options::shouldLeaveQtsOptionsToQt_data() {
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("read");
    const QString q = QStringLiteral("quillon");
    QTest::newRow("none") << QStringList{q} << QStringList{q};
    QTest::newRow("ours kept") << QStringList{q, "--share", "--port", "COM3"}
                               << QStringList{q, "--share", "--port", "COM3"};
    QTest::newRow("platform and its value")
        << QStringList{q, "-platform", "offscreen", "--share"} << QStringList{q, "--share"};
    QTest::newRow("double dash") << QStringList{q, "--platform", "xcb", "--bogus"}
                                 << QStringList{q, "--bogus"};
    QTest::newRow("style=") << QStringList{q, "-style=Fusion", "--share"} << QStringList{q, "--share"};
    QTest::newRow("display, X11's") << QStringList{q, "-display", ":1", "-name", "x"} << QStringList{q};
    QTest::newRow("flag takes no value")
        << QStringList{q, "-reverse", "--share"} << QStringList{q, "--share"};
    // Qt takes -platform wherever it stands, even as the value of one of ours; so do we, and
    // --port then lacks its value rather than naming a port "-platform".
    QTest::newRow("where ours wants a value")
        << QStringList{q, "--port", "-platform", "xcb"} << QStringList{q, "--port"};
    QTest::newRow("last, with no value")
        << QStringList{q, "--share", "-platform"} << QStringList{q, "--share"};
    // A device path that happens to be named like a Qt option is still the demo's device.
    QTest::newRow("after --") << QStringList{q, "--", "-style"} << QStringList{q, "--", "-style"};
    QTest::newRow("prefix is not the option") << QStringList{q, "--styles"} << QStringList{q, "--styles"};
}

void tst_Options::shouldLeaveQtsOptionsToQt() {
    QFETCH(QStringList, given);
    QFETCH(QStringList, read);
    std::vector<QByteArray> bytes;
    for (const QString &argument : given)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QCOMPARE(withoutQtOptions(static_cast<int>(given.size()), argv.data()), read);
}

void tst_Options::shouldShareWhenHelpSaysSo_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("option");
    QTest::addColumn<quint16>("sharePort");
    QTest::newRow("--share") << QStringList{"--share"} << "--share" << quint16(4800);
    QTest::newRow("--share-port") << QStringList{"--share-port", "4801"} << "--share-port" << quint16(4801);
    QTest::newRow("--share-port 0") << QStringList{"--share-port", "0"} << "--share-port" << quint16(0);
    QTest::newRow("--share-rigctld") << QStringList{"--share-rigctld", "4532"} << "--share-rigctld"
                                     << quint16(4800);
    QTest::newRow("--share-keep-filters")
        << QStringList{"--share-keep-filters"} << "--share-keep-filters" << quint16(4800);
#if !defined(Q_OS_WIN)
    QTest::newRow("--share-com") << QStringList{"--share-com", "/dev/ttyS7"} << "--share-com"
                                 << quint16(4800);
    QTest::newRow("--share-link") << QStringList{"--share-link", "/tmp/x/ft"} << "--share-link"
                                  << quint16(4800);
#endif
}

// Every option that turns sharing on is named where --help says what does, and says nothing
// false: one that parses to sharing and is missing there, or the other way round, fails.
void tst_Options::shouldShareWhenHelpSaysSo() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, option);
    QFETCH(quint16, sharePort);
    const Options options = parseOptions(QStringList{QStringLiteral("quillon")} + arguments, false);
    QVERIFY(options.share);
    QCOMPARE(options.sharePort, sharePort);
    const QString help = helpText(QStringLiteral("quillon"), false);
    const qsizetype from = help.indexOf(QStringLiteral("Sharing: any of "));
    QVERIFY(from >= 0);
    const QString sentence = help.mid(from, help.indexOf(QStringLiteral("turns it on"), from) - from);
    QVERIFY2(sentence.split(QRegularExpression(QStringLiteral("[\\s,]+"))).contains(option),
             qPrintable(sentence));
    // And nothing else in that list: each named option must really share.
    for (const QString &named : sentence.split(QRegularExpression(QStringLiteral("[\\s,]+")))) {
        if (!named.startsWith(QStringLiteral("--")))
            continue;
        QStringList args{QStringLiteral("quillon"), named};
        if (named != QStringLiteral("--share") && named != QStringLiteral("--share-keep-filters"))
            args << (named == QStringLiteral("--share-com")    ? QStringLiteral("/dev/ttyS7")
                     : named == QStringLiteral("--share-link") ? QStringLiteral("/tmp/x/ft")
                                                               : QStringLiteral("4811"));
        QVERIFY2(parseOptions(args, false).share, qPrintable(named));
    }
    // Without any of them nothing is shared.
    QVERIFY(!parseOptions({QStringLiteral("quillon")}, false).share);
}

void tst_Options::shouldGiveEachProgramItsOwnHelp() {
    const QString quillon = helpText(QStringLiteral("quillon"), false);
    const QString demo = helpText(QStringLiteral("quillon-demo"), true);
    QVERIFY(quillon.startsWith(QStringLiteral("Usage: quillon [options]\n")));
    QVERIFY(demo.startsWith(QStringLiteral("Usage: quillon-demo [options] [DEVICE...]\n")));
    QVERIFY(!quillon.contains(QStringLiteral("DEVICE")));
    for (const QString &text : {quillon, demo}) {
        QVERIFY(text.contains(QStringLiteral("Exit status: 0")));
        QVERIFY(text.contains(QStringLiteral("QT_LOGGING_RULES")));
        // Qt's --help-all would need an application object; ours has none to offer.
        QVERIFY(!text.contains(QStringLiteral("--help-all")));
    }
    QVERIFY(demo.contains(QStringLiteral("  quillon-demo ")));
}

QTEST_GUILESS_MAIN(tst_Options)
#include "tst_options.moc"

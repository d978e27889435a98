// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing the radio through a serial port (quillon --share --share-com PORT), as the program runs
// it: its own options and start-up, the virtual radio behind the real serial adapter, and one end
// of a null-modem pair made by socat, whose other end Hamlib's rigctl opens as a logger would.
#include "testrig.h"

#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "share/serialshareclient.h"
#include "sim/ptyradioserver.h"
#include "ui/options.h"
#include "ui/runquillon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The modem lines of one pseudo-terminal, kept as a real port keeps them: the system's terminals
// have none, so the port's own calls to raise and lower them (Qt's, through ioctl) land here.
namespace modem {
std::atomic<dev_t> device{0}; // the terminal that has lines; 0: none
std::atomic<int> lines{0};    // TIOCM_DTR, TIOCM_RTS
std::atomic<int> calls{0};
} // namespace modem

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, void *);
    static const auto real = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    const bool lineCall =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    struct stat st {};
    if (!lineCall || modem::device == 0 || ::fstat(fd, &st) != 0 || st.st_rdev != modem::device)
        return real(fd, request, arg);
    ++modem::calls;
    int &bits = *static_cast<int *>(arg);
    if (request == TIOCMGET)
        bits = modem::lines;
    else if (request == TIOCMSET)
        modem::lines = bits;
    else if (request == TIOCMBIS)
        modem::lines |= bits;
    else
        modem::lines &= ~bits;
    return 0;
}

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

// Two pseudo-terminals joined as a null-modem cable: what is written to one end is read at the
// other. Links A and B in dir.
struct NullModem {
    QProcess socat;
    QString a, b;

    bool start(const QString &dir) {
        a = dir + QStringLiteral("/A");
        b = dir + QStringLiteral("/B");
        socat.start(QStringLiteral("socat"), {QStringLiteral("PTY,raw,echo=0,link=%1").arg(a),
                                              QStringLiteral("PTY,raw,echo=0,link=%1").arg(b)});
        if (!socat.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (!(QFile::exists(a) && QFile::exists(b)) && t.elapsed() < 5000)
            QTest::qWait(10);
        return QFile::exists(a) && QFile::exists(b);
    }
    ~NullModem() {
        socat.terminate();
        socat.waitForFinished(3000);
    }
};

// One rigctl run on the logger's end while the operator clicks a filter every 250 ms: its
// answers, one per line, and its exit status. Clicks go to the window's real buttons.
QStringList rigctlWhileClicking(const QStringList &args, frmQuillon &window, int &clicks, int *status) {
    QProcess p;
    p.start(QStringLiteral("rigctl"), args);
    const std::vector<FilterButtonInfo> buttons(filterButtons().begin(), filterButtons().end());
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 30000) {
        QTest::mouseClick(window.button(buttons[QRandomGenerator::global()->bounded(int(buttons.size()))].id),
                          Qt::LeftButton);
        ++clicks;
        p.waitForFinished(0);
        QTest::qWait(250);
    }
    p.waitForFinished(100);
    *status = p.state() == QProcess::NotRunning && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (*status != 0)
        qWarning().noquote() << "rigctl" << args.join(' ') << "said:" << p.readAllStandardError().right(2000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray readAvailable(int fd) {
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}

// Runs the program's own start-up on line with these arguments. Once the window is up, scenario
// runs inside the program's event loop; then the window is closed, which ends the run.
int runProgram(const QStringList &arguments, std::unique_ptr<SerialLine> line, TestPlatform &platform,
               const std::function<void(frmQuillon &)> &scenario) {
    const Options options = parseOptions(QStringList{QStringLiteral("quillon")} + arguments, false);
    // Goes with this call: a run that never gets to its window leaves nothing behind.
    QTimer kick;
    QObject::connect(&kick, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget())
            return;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *window = qobject_cast<frmQuillon *>(w); window && window->isVisible()) {
                kick.stop();
                scenario(*window);
                window->close();
                return;
            }
    });
    kick.start(20);
    return runQuillon(*qApp, std::move(line), platform, options);
}

} // namespace

class tst_ShareCom : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void shouldServeTheSerialPortOrSayWhyNot_data();
    void shouldServeTheSerialPortOrSayWhyNot();
    void shouldRefuseTheRadiosOwnPort();
    void shouldLowerTheModemLinesOfAServedPort_data();
    void shouldLowerTheModemLinesOfAServedPort();
};

void tst_ShareCom::initTestCase() {
    if (qEnvironmentVariableIsSet("QUILLON_TEST_EMULATOR"))
        QSKIP("the other ends are the host's socat and rigctl, which a test under qemu-user cannot start");
    for (const char *program : {"socat", "rigctl"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program))));
    QLoggingCategory::setFilterRules(QStringLiteral("quillon.share.info=false"));
}

void tst_ShareCom::shouldServeTheSerialPortOrSayWhyNot_data() {
    // %A% stands for the null-modem end given to Quillon. The port table lists it as COM1 before
    // the radio on COM2, so the search passes it on its way to the radio.
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("held");   // another program has the port open
    QTest::addColumn<QString>("why"); // empty: served
    QTest::newRow("one end of a null-modem pair") << "%A%" << false << QString();
    QTest::newRow("missing") << "/nonexistent/quillon-port" << false
                             << "/nonexistent/quillon-port does not exist. Quillon runs without it.";
    QTest::newRow("not a serial port") << "/dev/null" << false
                                       << "/dev/null is not a serial port (Inappropriate ioctl for device). "
                                          "Quillon runs without it.";
    QTest::newRow("held by another program")
        << "%A%" << true << "%A% is in use by another program. Quillon runs without it.";
}

void tst_ShareCom::shouldServeTheSerialPortOrSayWhyNot() {
    QFETCH(QString, port);
    QFETCH(bool, held);
    QFETCH(QString, why);
    QTemporaryDir scratch;
    NullModem cable;
    QVERIFY2(cable.start(scratch.path()), "socat made no null-modem pair");
    port.replace(QLatin1String("%A%"), cable.a);
    why.replace(QLatin1String("%A%"), cable.a);
    QSerialPort holder(cable.a);
    if (held)
        QVERIFY(holder.open(QIODevice::ReadWrite));
    // The logger's end, to see what reaches it before any logger is there.
    const int logger = ::open(QFile::encodeName(cable.b).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(logger >= 0);

    PtyRadioServer radio;
    QVERIFY2(radio.start(), qPrintable(radio.errorString()));
    radio.withRadio([](VirtualRadio &r) {
        r.setMainFilterByte(0x22);
        r.setSubFilterByte(0x33);
    });
    const auto radioLamps = [&] {
        quint8 main = 0, sub = 0;
        radio.withRadio([&](VirtualRadio &r) {
            main = r.mainFilterByte();
            sub = r.subFilterByte();
        });
        return lampsFor(main, sub);
    };

    TestPlatform platform;
    platform.realClock = true;
    bool ran = false;
    int clicks = 0;
    const int status = runProgram(
        {QStringLiteral("--share"), QStringLiteral("--share-port"), QStringLiteral("0"),
         QStringLiteral("--share-link"), scratch.filePath(QStringLiteral("link")),
         QStringLiteral("--share-com"), port},
        std::make_unique<PosixSerialLine>(PortTable({cable.a, radio.devicePath()})), platform,
        [&](frmQuillon &window) {
            ran = true;
            QTRY_COMPARE_WITH_TIMEOUT(litOn(window), radioLamps(), 3000);
            // The search went past the port given to --share-com without a probe: nothing reached
            // the logger's end. (Where another port is given, COM1 gets its probe.)
            char buf[64];
            QCOMPARE(::read(logger, buf, sizeof buf) > 0, port != cable.a);
            if (!why.isEmpty()) {
                QCOMPARE(platform.messages,
                         QStringList{QStringLiteral("Quillon couldn't share the radio on %1").arg(port)});
                QCOMPARE(platform.captions, QStringList{QStringLiteral("Quillon")});
                QCOMPARE(platform.details, QStringList{why});
                return;
            }
            QCOMPARE(platform.messages, QStringList());
            // Breaks from the other end must not read as zero bytes, nor a lost carrier end the
            // line (a pseudo-terminal carries neither, so the settings are what can be seen).
            termios tio{};
            const int a = ::open(QFile::encodeName(cable.a).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
            QVERIFY(a >= 0 && ::tcgetattr(a, &tio) == 0);
            ::close(a);
            QVERIFY((tio.c_iflag & IGNBRK) && !(tio.c_iflag & (BRKINT | PARMRK)) && (tio.c_cflag & CLOCAL));

            // Set in one run, read back in another: the logger closes its end and opens it again.
            const QStringList rig{QStringLiteral("-m"),          QStringLiteral("1004"),
                                  QStringLiteral("-r"),          cable.b,
                                  QStringLiteral("\\set_cache"), QStringLiteral("0")};
            int code = 0;
            QCOMPARE(rigctlWhileClicking(rig + QStringList{"V", "VFOA", "F", "14074000", "M", "CW", "0", "V",
                                                           "VFOB", "F", "10136000", "M", "LSB", "0"},
                                         window, clicks, &code),
                     QStringList());
            QCOMPARE(code, 0);
            QCOMPARE(rigctlWhileClicking(rig + QStringList{"V", "VFOA", "f", "m", "V", "VFOB", "f", "m"},
                                         window, clicks, &code),
                     (QStringList{"14074000", "CW", "2400", "10136000", "LSB", "2400"}));
            QCOMPARE(code, 0);
            // Every click went out as one filter select, whole, and the lamps follow the radio.
            const auto selects = [&] {
                int n = 0;
                for (const PtyRadioServer::WireBlock &b : radio.receivedBlocks())
                    n += b.block[4] == kOpFilterSelect;
                return n;
            };
            QTRY_COMPARE_WITH_TIMEOUT(selects(), clicks, 2000);
            QTRY_COMPARE_WITH_TIMEOUT(litOn(window), radioLamps(), 2000);
            // Served on its own input, not only when the window next talks to the radio: with the
            // window's polls stopped, a block still gets its reply.
            window.timer()->stop();
            QTest::qWait(600);
            QCOMPARE(::write(logger, "\0\0\0\0\xFA", 5), ssize_t(5));
            QByteArray reply;
            QTRY_VERIFY_WITH_TIMEOUT((reply += readAvailable(logger)).size() >= 5, 3000);
            QCOMPARE(reply.size(), 5);
            window.timer()->start();
            // Only whole blocks of the protocol reached the radio: a cut or mixed one shows as an
            // opcode neither Quillon nor Hamlib sends.
            const std::set<quint8> known{0x05, 0x0A, 0x8A, 0x0C, 0x0E, 0x10, 0x8C, 0xFA};
            for (const PtyRadioServer::WireBlock &b : radio.receivedBlocks())
                QVERIFY2(known.count(b.block[4]),
                         qPrintable(QString::fromLatin1(toBytes(b.block).toHex(' ')) +
                                    QStringLiteral(" on the wire")));
        });
    ::close(logger);
    QVERIFY2(ran, qPrintable(platform.details.join(' ')));
    QCOMPARE(status, 0);
    QVERIFY(clicks > 0 || !why.isEmpty());
}

// The real program ends at once with status 2 and says why, before it opens anything.
void tst_ShareCom::shouldRefuseTheRadiosOwnPort() {
    const QString said = QStringLiteral("--share-com /dev/null: that is the radio's port (--port)");
    QProcess quillon;
    quillon.setProcessChannelMode(QProcess::SeparateChannels);
    quillon.start(QStringLiteral(QUILLON_PROGRAM), {"--port", "/dev/null", "--share-com", "/dev/null"});
    QVERIFY(quillon.waitForFinished(10000));
    QCOMPARE(quillon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(quillon.exitCode(), 2);
    QVERIFY2(quillon.readAllStandardError().contains(said.toUtf8()), qPrintable(said));
}

void tst_ShareCom::shouldLowerTheModemLinesOfAServedPort_data() {
    QTest::addColumn<int>("line");
    QTest::newRow("DTR") << TIOCM_DTR;
    QTest::newRow("RTS") << TIOCM_RTS;
}

// The other end may key a transmitter from DTR or RTS, as the radio's interface does: a port
// served to a logger has both down once it is open (opening raised them).
void tst_ShareCom::shouldLowerTheModemLinesOfAServedPort() {
    QFETCH(int, line);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const auto closeMaster = qScopeGuard([master] { ::close(master); });
    const QString port = QString::fromLocal8Bit(::ptsname(master));
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(port).constData(), &st) == 0);
    modem::lines = TIOCM_DTR | TIOCM_RTS;
    modem::calls = 0;
    modem::device = st.st_rdev;
    const auto noLines = qScopeGuard([] { modem::device = 0; });
    SerialShareClient client;
    QString why;
    QVERIFY2(client.open(port, &why), qPrintable(why));
    QVERIFY(modem::calls > 0);
    QCOMPARE(modem::lines & line, 0);
}

QTEST_MAIN(tst_ShareCom)
#include "tst_sharecom.moc"

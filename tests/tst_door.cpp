// SPDX-License-Identifier: GPL-3.0-or-later
// The door of the shared radio, through real sockets and the real serial adapter to the virtual
// radio: only the radio's own commands, from the user's own programs, reach the radio; the TCP
// port is on both loopback addresses or on none; the pseudo-terminal is raw and its link's folder
// keeps its mode.
#include "sharedstation.h"
#include "testutil.h"

#include "radio/lineowner.h"
#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "share/catcommands.h"
#include "share/peerowner.h"
#include "share/radioshare.h"
#include "share/sharehub.h"
#include "sim/manualclock.h"
#include "sim/ptyradioserver.h"
#include "sim/simserialline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace quillon;
using namespace quillon::sim;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

QStringList &g_log = g_shareLog;
QStringList logLines(const QString &with) { return g_log.filter(with); }

// The addresses listening on a TCP port, from the kernel's own tables.
QStringList listeners(quint16 port) {
    QStringList found;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (file.open(QIODevice::ReadOnly))
            for (const SocketRow &row : parseSocketTable(file.readAll()))
                if (row.state == 0x0A && row.localPort == port)
                    found << row.local.toString();
    }
    found.sort();
    return found;
}

bool machineHasIpv6() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

// A program that sends its next bytes once the hub has served what it sent before, as a program
// waiting for its answers does.
class SteppedClient final : public ShareClient {
public:
    QByteArray next;
    QByteArray takeInput() override { return std::exchange(next, {}); }
    void deliver(const QByteArray &) override {}
    bool isConnected() const override { return true; }
    QString name() const override { return QStringLiteral("door test"); }
};

// What the hub's door makes of a client's bytes arriving `chunk` bytes at a time, each chunk
// served before the next comes: "pass" for a block put on the radio's wire, "drop" for one let go
// at the door, "refuse" at the end if the client is sent away. At most four bytes a chunk: no
// chunk can settle two blocks, so the counts say the order too.
QString doorOutcome(const QByteArray &stream, qsizetype chunk) {
    Q_ASSERT(chunk < 5);
    ManualClock clock;
    VirtualRadio radio;
    SimSerialLine line(clock);
    line.attachRadio(1, &radio);
    line.Configure(1);
    line.OpenPort();
    ShareHub hub(line, clock);
    SteppedClient client;
    hub.addClient(&client);
    bool refused = false;
    hub.onRefuse([&](ShareClient *) { return refused = true; });
    QStringList said;
    for (qsizetype at = 0; at < stream.size() && !refused; at += chunk) {
        const ShareHub::Counts before = hub.counts();
        client.next = stream.mid(at, chunk);
        while (hub.serveNext()) {
        }
        const ShareHub::Counts &after = hub.counts();
        said << QStringList(after.forwarded - before.forwarded, QStringLiteral("pass"))
             << QStringList(after.notCommands - before.notCommands, QStringLiteral("drop"));
    }
    if (refused)
        said << QStringLiteral("refuse");
    return said.join(' ');
}

const QByteArray kFlags = hex("00000000fa");
const QByteArray kPttOn = hex("000000010f");

} // namespace

class tst_Door : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { startKeepingShareLog(); }
    void init() { g_log.clear(); }

    void shouldJudgeAClientsBytesHoweverTheyArrive_data();
    void shouldJudgeAClientsBytesHoweverTheyArrive();
    void shouldKnowTheLengthOfEachReply_data();
    void shouldKnowTheLengthOfEachReply();

    void shouldRefuseTextBeforeAnyOfItReachesTheRadio_data();
    void shouldRefuseTextBeforeAnyOfItReachesTheRadio();
    void shouldRefuseAnotherUsersProgramAndNameTheUsersOwn();
    void shouldRefuseAnotherUsersClientOnEitherAddress_data();
    void shouldRefuseAnotherUsersClientOnEitherAddress();
    void shouldNotDelayAClientForAnothersJunk();
    void shouldListenOnLoopbackOnlyAndServeARawTerminal();
    void shouldNotShareWhenEitherAddressIsHeld_data();
    void shouldNotShareWhenEitherAddressIsHeld();
    void shouldLeaveTheLinkFolderAsItWas_data();
    void shouldLeaveTheLinkFolderAsItWas();
};

void tst_Door::shouldJudgeAClientsBytesHoweverTheyArrive_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("outcome");
    // Every block these programs sent through quillon --share to the virtual radio (its --log),
    // Debian 12's versions: rigctl 4.5.4 (models 1004 and 1024, each command it has for this
    // radio), fldigi 4.1.23 and WSJT-X 2.6.1 (through Hamlib), flrig 1.4.7 (FT-1000MP-A on the
    // pseudo-terminal); and Quillon's own filter selects.
    const std::pair<const char *, const char *> programs[] = {
        {"rigctl", "000000000e 00000000fa 0000000310 0000000210 000000000f 000000010f 0000000001 0000000101"
                   "0000000009 0000000109 0000008009 0000008109 2001ffff09 300000ff09 500000ff09 007440010a"
                   "008040018a 004070008a 000000000c 000000010c 000000020c 000000030c 000000040c 000000060c"
                   "000000080c 000000090c 0000000a0c 0000000b0c 000000810c 000000830c 00000000f7 80808080f7"
                   "81818181f7 83838383f7 85858585f7 86868686f7 f1f1f1f1f7"},
        {"fldigi", "000000000e 000000000f 00000000fa 0000000310 0000000210"},
        {"WSJT-X", "000000000e 00000000fa 0000000310 0000000210 007440010a 057440010a 067440010a"},
        {"flrig", "0000000001 0000000005 0000000105 0000000a0c 0000000310 0000000210 010000008c 020000008c"
                  "00000000f7"},
        {"Quillon", "010000008c 010000048c 020000008c 020000048c 000000808c 000000828c 000000848c"}};
    for (const auto &[program, blocks] : programs)
        QTest::newRow(program) << hex(blocks)
                               << QStringList(int(hex(blocks).size() / 5), QStringLiteral("pass")).join(' ');
    QTest::newRow("an HTTP request keying the transmitter")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 40\r\n\r\n") + kPttOn.repeated(8) << "refuse";
    QTest::newRow("a rigctld command") << QByteArray("f\n") << "refuse";
    QTest::newRow("a rigctld command after radio commands") << kFlags + "+\\get_freq\n"
                                                            << "pass drop refuse";
    QTest::newRow("a first block that is no radio command") << hex("5566778899") + kFlags << "refuse";
    // After a radio command, a wrong block is dropped and the client stays.
    const char *wrong[] = {"11223344 99", "00000002 0f", "01000001 0f", "00000000 03", "00000000 10",
                           "00000005 10", "72000004 10", "00000072 02", "0000000c 0c", "0000000d 0c",
                           "99990000 0a", "0000a001 8a", "03000000 8c", "00000005 8c", "00100000 09",
                           "80000000 fa", "80818080 f7", "00000100 0e", "01000003 0a", "01000003 8a"};
    for (const char *block : wrong)
        QTest::newRow(block) << kFlags + hex(block) + kFlags << "pass drop pass";
    // The radio tunes up to 30 MHz: the top of its range is a frequency, 10 Hz above it none.
    QTest::newRow("30 MHz on either VFO") << kFlags + hex("000000030a 000000038a") << "pass pass pass";
    // A line's end in the opcode's place would be the VFO-A frequency.
    QTest::newRow("text with LF as its fifth byte") << kFlags + "abcd\n" + kFlags << "pass refuse";
}

// Through the hub, byte by byte and in chunks that split every block: the door waits for what it
// needs and no more, and no run of radio commands looks like text to it.
void tst_Door::shouldJudgeAClientsBytesHoweverTheyArrive() {
    QFETCH(QByteArray, stream);
    QFETCH(QString, outcome);
    QCOMPARE(doorOutcome(stream, 1), outcome);
    QCOMPARE(doorOutcome(stream, 3), outcome); // every block split across two chunks
    QCOMPARE(doorOutcome(stream, 4), outcome);
}

void tst_Door::shouldKnowTheLengthOfEachReply_data() {
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<int>("length"); // -1: not a command the door lets through
    // A length one byte off leaves a byte behind for the next client, or cuts the reply short.
    QTest::newRow("status: memory channel number") << hex("0000000110") << 1;
    QTest::newRow("status: operating record") << hex("0000000210") << 16;
    QTest::newRow("status: both VFOs") << hex("0000000310") << 32;
    QTest::newRow("status: a memory record") << hex("0100000410") << 16;
    QTest::newRow("status: the last memory record") << hex("7100000410") << 16;
    QTest::newRow("status: the whole memory") << hex("0000000010") << -1;
    QTest::newRow("read flags") << kFlags << 5;
    QTest::newRow("read meter") << hex("00000000f7") << 5;
    QTest::newRow("a set command") << hex("005042010a") << 0;
    QTest::newRow("a filter select") << hex("020000038c") << 0;
    QTest::newRow("no radio command") << hex("5566778899") << -1;
}

void tst_Door::shouldKnowTheLengthOfEachReply() {
    QFETCH(QByteArray, block);
    QFETCH(int, length);
    CommandBlock b;
    std::copy_n(block.begin(), 5, b.begin());
    QCOMPARE(radioReplyLength(b).value_or(-1), length);
}

void tst_Door::shouldRefuseTextBeforeAnyOfItReachesTheRadio_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("overIpv6");
    // A web page can send this to any loopback port: a POST with a text body, here eight PTT-on
    // commands behind each of the five paddings that bring them onto a block boundary.
    for (int pad = 0; pad < 5; ++pad) {
        const QByteArray body = QByteArray(pad, 'x') + kPttOn.repeated(8);
        QTest::addRow("a web page's POST, padding %d", pad)
            << QByteArray("POST / HTTP/1.1\r\nHost: 127.0.0.1:4800\r\nContent-Type: text/plain\r\n"
                          "Content-Length: ") +
                   QByteArray::number(body.size()) + "\r\n\r\n" + body
            << false;
    }
    QTest::newRow("a rigctld command") << QByteArray("f\n") << false;
    QTest::newRow("a rigctld command on ::1") << QByteArray("\\get_freq\n") << true;
    QTest::newRow("a browser's GET on ::1")
        << QByteArray("GET / HTTP/1.1\r\nHost: localhost:4800\r\n\r\n") << true;
}

void tst_Door::shouldRefuseTextBeforeAnyOfItReachesTheRadio() {
    QFETCH(QByteArray, sent);
    QFETCH(bool, overIpv6);
    if (overIpv6 && !machineHasIpv6())
        QSKIP("this machine has no ::1");
    SharedStation s;
    QVERIFY(s.start(true));
    QTcpSocket client;
    client.connectToHost(overIpv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, s.share->port());
    QVERIFY(client.waitForConnected(5000));
    const QString who =
        QStringLiteral("%1 port %2").arg(client.localAddress().toString()).arg(client.localPort());
    client.write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 3000);
    // Anything that slipped through has been served once the owner comes round to a job of its own.
    QVERIFY(s.owner->drain(5s));
    QCOMPARE(s.radio.receivedBytes().toHex(' '), QByteArray());
    const QStringList refusals = logLines(QStringLiteral("refused"));
    QCOMPARE(refusals.size(), 1);
    QVERIFY2(refusals[0].contains(who), qPrintable(refusals[0]));
}

void tst_Door::shouldRefuseAnotherUsersProgramAndNameTheUsersOwn() {
    if (qEnvironmentVariableIsSet("QUILLON_TEST_EMULATOR"))
        QSKIP("the clients are the host's programs, which a test under qemu-user cannot start");
    if (QStandardPaths::findExecutable(QStringLiteral("rigctl")).isEmpty())
        QSKIP("Hamlib's rigctl is not installed (Debian package libhamlib-utils)");
    if (::geteuid() != 0)
        QSKIP("running a client as another user (nobody, through setpriv) takes root");
    SharedStation s;
    QVERIFY(s.start(true));
    const QStringList rigctl = QStringLiteral("-m 1004 -r 127.0.0.1:%1 f").arg(s.share->port()).split(' ');
    QProcess other;
    other.start(QStringLiteral("setpriv"),
                QStringLiteral("--reuid=nobody --regid=nogroup --clear-groups -- rigctl").split(' ') +
                    rigctl);
    QVERIFY(other.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!logLines(QStringLiteral("refused")).isEmpty(), 10000);
    QVERIFY2(logLines(QStringLiteral("refused"))[0].contains(QStringLiteral("nobody")),
             qPrintable(g_log.join('\n')));
    // Hamlib keeps trying on a closed connection.
    other.kill();
    other.waitForFinished();
    QVERIFY(s.owner->drain(5s));
    QCOMPARE(s.radio.receivedBytes().toHex(' '), QByteArray());

    QProcess own;
    own.start(QStringLiteral("rigctl"), rigctl);
    QVERIFY(own.waitForStarted());
    const qint64 pid = own.processId();
    QTRY_COMPARE_WITH_TIMEOUT(own.state(), QProcess::NotRunning, 30000);
    QCOMPARE(own.readAllStandardOutput().trimmed(), QByteArray("14250000"));
    QVERIFY2(!logLines(QStringLiteral("(rigctl, pid %1) connected").arg(pid)).isEmpty(),
             qPrintable(g_log.join('\n')));
}

void tst_Door::shouldRefuseAnotherUsersClientOnEitherAddress_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("gone"); // it sends and closes before Quillon takes the connection
    QTest::newRow("127.0.0.1") << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("::1") << QStringLiteral("::1") << false;
    // The kernel keeps a closed connection's end without its owner (uid 0, no inode): that is
    // nobody known, not root.
    QTest::newRow("127.0.0.1, closed at once") << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("::1, closed at once") << QStringLiteral("::1") << true;
}

// A client of another account's is refused whichever loopback address it comes in on: the port
// listens on both, and either would key the transmitter.
void tst_Door::shouldRefuseAnotherUsersClientOnEitherAddress() {
    QFETCH(QString, address);
    QFETCH(bool, gone);
    if (qEnvironmentVariableIsSet("QUILLON_TEST_EMULATOR"))
        QSKIP("the client is the host's python3, which a test under qemu-user cannot start");
    // The system's own: a user's python3 may live where nobody cannot reach.
    const QString python = QStringLiteral("/usr/bin/python3");
    if (!QFileInfo(python).isExecutable())
        QSKIP("/usr/bin/python3 is not installed");
    if (::geteuid() != 0)
        QSKIP("running a client as another user (nobody, through setpriv) takes root");
    if (address.contains(u':') && !machineHasIpv6())
        QSKIP("this machine has no ::1");
    SharedStation s;
    QVERIFY(s.start(true));
    // It asks for the flags and keeps the connection open until Quillon closes it, or is gone.
    const QString script = QStringLiteral("import socket, sys\n"
                                          "c = socket.create_connection(('%1', %2))\n"
                                          "c.sendall(bytes.fromhex('00000000fa 000000010f'))\n"
                                          "%3"
                                          "c.settimeout(10)\n"
                                          "try:\n"
                                          "    got = c.recv(64)\n"
                                          "except ConnectionResetError:\n"
                                          "    got = b''\n"
                                          "sys.exit(0 if got == b'' else 3)\n")
                               .arg(address)
                               .arg(s.share->port())
                               .arg(gone ? QStringLiteral("c.close()\nsys.exit(0)\n") : QString());
    QProcess other;
    other.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                 QStringLiteral("--clear-groups"), QStringLiteral("--"), python, QStringLiteral("-c"),
                 script});
    QVERIFY(other.waitForStarted());
    if (gone) {
        // Waited for outside the event loop: Quillon takes the connection only afterwards.
        QVERIFY(other.waitForFinished(15000));
        QTRY_VERIFY_WITH_TIMEOUT(!logLines(QStringLiteral("refused")).isEmpty(), 5000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(other.state(), QProcess::NotRunning, 15000);
    QCOMPARE(other.exitCode(), 0);
    QVERIFY(s.owner->drain(5s));
    QCOMPARE(s.radio.receivedBytes().toHex(' '), QByteArray());
    const QStringList refusals = logLines(QStringLiteral("refused"));
    QCOMPARE(refusals.size(), 1);
    QVERIFY2(refusals[0].contains(gone ? QStringLiteral("an unknown user") : QStringLiteral("nobody")),
             qPrintable(refusals[0]));
}

// One program floods the door with blocks the radio does not know while another reads the flags,
// one request at a time as Hamlib does: none of the junk reaches the radio, and none of it stands
// in the reader's way (each junk block on the wire used to cost everyone 200 ms).
void tst_Door::shouldNotDelayAClientForAnothersJunk() {
    SharedStation s;
    QVERIFY(s.start(true));
    QTcpSocket junk, reader;
    junk.connectToHost(QHostAddress::LocalHost, s.share->port());
    reader.connectToHost(QHostAddress::LocalHost, s.share->port());
    QVERIFY(junk.waitForConnected(5000) && reader.waitForConnected(5000));
    junk.write(kFlags);
    QTimer flood;
    connect(&flood, &QTimer::timeout, &junk, [&] { junk.write(hex("8182838499").repeated(8)); });
    flood.start(10);
    std::vector<qint64> waits;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer t;
        t.start();
        reader.write(kFlags);
        QTRY_VERIFY_WITH_TIMEOUT(reader.bytesAvailable() >= 5, 2000);
        waits.push_back(t.elapsed());
        QCOMPARE(reader.readAll().right(2), hex("0393"));
    }
    flood.stop();
    std::sort(waits.begin(), waits.end());
    QVERIFY2(waits[5] < 150, qPrintable(QString::number(waits[5])));
    QVERIFY(s.owner->drain(5s));
    // Only flags reads reach the radio (fewer than asked: a fresh reply is reused).
    const QByteArray wire = s.radio.receivedBytes();
    QVERIFY2(!wire.isEmpty() && wire == kFlags.repeated(wire.size() / 5), qPrintable(wire.toHex(' ')));
    QCOMPARE(junk.state(), QAbstractSocket::ConnectedState);
}

void tst_Door::shouldListenOnLoopbackOnlyAndServeARawTerminal() {
    SharedStation s;
    QVERIFY(s.start(true));
    const QStringList loopback = machineHasIpv6()
                                     ? QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("::1")}
                                     : QStringList{QStringLiteral("127.0.0.1")};
    QCOMPARE(listeners(s.share->port()), loopback);
    // A terminal's echo, line editing or CR/LF translation would turn a 0x0A or 0x0D of a block
    // into something else, or send the replies back as commands.
    const int fd = ::open(QFile::encodeName(s.share->ptyLink()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    // Whoever can open the terminal can key the transmitter: it is the user's alone.
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(s.share->ptyLink()).constData(), &st), 0);
    QCOMPARE(QString::number(st.st_mode & 07777, 8), QStringLiteral("600"));
}

void tst_Door::shouldNotShareWhenEitherAddressIsHeld_data() {
    QTest::addColumn<QString>("held");
    QTest::newRow("127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("::1") << QStringLiteral("::1");
}

void tst_Door::shouldNotShareWhenEitherAddressIsHeld() {
    QFETCH(QString, held);
    if (!machineHasIpv6())
        QSKIP("this machine has no ::1: 127.0.0.1 alone is all there is");
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress(held), 0));
    const quint16 port = holder.serverPort();
    ManualClock clock;
    LineOwner owner(std::make_unique<SimSerialLine>(clock), clock);
    RadioShare share(owner);
    QString error;
    QVERIFY(!share.start(port, false, {}, &error));
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const QString us = QStringLiteral("%1, pid %2")
                           .arg(QString::fromLocal8Bit(comm.readAll().trimmed()))
                           .arg(QCoreApplication::applicationPid());
    QVERIFY2(error.contains(held) && error.contains(us), qPrintable(error));
    QCOMPARE(listeners(port), QStringList{held});
}

void tst_Door::shouldLeaveTheLinkFolderAsItWas_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("mode"); // -1: missing
    QTest::addColumn<bool>("used");
    QTest::addColumn<bool>("othersOwn"); // the folder belongs to nobody (uid 65534)
    QTest::newRow("the user's own folder") << QStringLiteral("radio") << 0755 << true << false;
    QTest::newRow("a private folder") << QStringLiteral("radio") << 0700 << true << false;
    QTest::newRow("one every user may write to") << QStringLiteral("radio") << 0777 << false << false;
    QTest::newRow("one like /tmp") << QStringLiteral("radio") << 01777 << false << false;
    QTest::newRow("missing, two deep") << QStringLiteral("new/radio") << -1 << true << false;
    // Its owner could swap the link for one of their own.
    QTest::newRow("another user's folder") << QStringLiteral("radio") << 0755 << false << true;
}

void tst_Door::shouldLeaveTheLinkFolderAsItWas() {
    QFETCH(QString, folder);
    QFETCH(int, mode);
    QFETCH(bool, used);
    QFETCH(bool, othersOwn);
    if (othersOwn && ::geteuid() != 0)
        QSKIP("giving a folder to another user takes root");
    QTemporaryDir scratch;
    const QString path = scratch.filePath(folder);
    const QByteArray encoded = QFile::encodeName(path);
    if (mode >= 0)
        QVERIFY(::mkdir(encoded.constData(), 0700) == 0 && ::chmod(encoded.constData(), mode_t(mode)) == 0);
    if (othersOwn)
        QCOMPARE(::chown(encoded.constData(), 65534, 65534), 0);
    auto modeOf = [](const QString &p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    {
        ManualClock clock;
        LineOwner owner(std::make_unique<SimSerialLine>(clock), clock);
        RadioShare share(owner);
        QString error;
        QCOMPARE(share.start(0, true, path + QStringLiteral("/ft1000mp"), &error), used);
        if (used) {
            QVERIFY(QFileInfo(share.ptyLink()).isSymLink());
        } else {
            QVERIFY2(error.contains(path), qPrintable(error));
            QCOMPARE(share.port(), quint16(0));
        }
        QCOMPARE(modeOf(path), mode >= 0 ? mode : 0700);
        if (mode < 0)
            QCOMPARE(modeOf(scratch.filePath(QStringLiteral("new"))), 0700);
    }
    QCOMPARE(modeOf(path), mode >= 0 ? mode : 0700);
}

QTEST_GUILESS_MAIN(tst_Door)
#include "tst_door.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows serial line, under Wine, against the virtual radio on a pseudo-terminal that
// scripts/windows links to COM3. The script's layout: COM3 the radio (its received bytes in
// the hex log QUILLON_TEST_RADIO_LOG, its filter bytes QUILLON_TEST_RADIO_STATE "main sub"),
// COM8 a device that is no serial port (/dev/null). Wine opens /dev/ttyS<n-1> for a COMn it
// has no link for, so the script also names the ports with nothing behind them at all
// (QUILLON_TEST_ABSENT_PORTS).
// A local model of the radio is fed the same bytes, so every reply can be checked exactly.

#include "filters/filterstatus.h"
#include "radio/commandblock.h"
#include "radio/discovery.h"
#include "radio/replywait.h"
#include "radio/win32serialline.h"
#include "sim/virtualradio.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <windows.h>

#include <thread>

using namespace quillon;
using quillon::testing::readUntil;
using namespace std::chrono_literals;

namespace {

constexpr qint16 kRadioPort = 3;
constexpr qint16 kNotSerialPort = 8;

QByteArray concat(const std::vector<sim::SimReply> &replies) {
    QByteArray all;
    for (const sim::SimReply &r : replies)
        all += r.bytes;
    return all;
}

} // namespace

class tst_Win32Line : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void shouldRefusePortsItCannotOpen_data();
    void shouldRefusePortsItCannotOpen();
    void shouldExchangeExactBytesWithRadio();
    void shouldPassEveryByteValueBothWays();
    void shouldReadNothingAfterClear();
    void shouldWaitForTheReplyNotOnATick();
    void shouldReadWindowsErrors_data();
    void shouldReadWindowsErrors();
    void shouldFindRadioOnCom3();
    void shouldGiveUpAWriteTheLineDoesNotTake();
    void shouldKeepPollsShortOnAWedgedLine();

private:
    bool radioThere() const { return !m_logPath.isEmpty(); }
    // Sends through the line and into the local model; returns the model's replies.
    QByteArray send(Win32SerialLine &line, const QByteArray &bytes);
    // Reads until `count` bytes have come or a generous deadline passes.
    // Everything the radio has received so far, once at least `count` bytes are there.
    QByteArray radioReceived(qsizetype count);
    void openRadio(Win32SerialLine &line);

    QString m_logPath;
    sim::VirtualRadio m_model;
};

void tst_Win32Line::initTestCase() {
    m_logPath = qEnvironmentVariable("QUILLON_TEST_RADIO_LOG");
    const QStringList state =
        qEnvironmentVariable("QUILLON_TEST_RADIO_STATE").split(u' ', Qt::SkipEmptyParts);
    if (radioThere()) {
        QCOMPARE(state.size(), 2);
        m_model.setMainFilterByte(quint8(state[0].toUInt(nullptr, 16)));
        m_model.setSubFilterByte(quint8(state[1].toUInt(nullptr, 16)));
    }
}

QByteArray tst_Win32Line::send(Win32SerialLine &line, const QByteArray &bytes) {
    if (line.WriteBytes(bytes) != LineError::None)
        return {};
    return concat(m_model.feed(bytes));
}

QByteArray tst_Win32Line::radioReceived(qsizetype count) {
    QByteArray got;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        QFile log(m_logPath);
        if (log.open(QIODevice::ReadOnly))
            got = QByteArray::fromHex(log.readAll());
        if (got.size() >= count)
            break;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return got;
}

void tst_Win32Line::openRadio(Win32SerialLine &line) {
    QCOMPARE(line.Configure(kRadioPort), LineError::None);
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);
    QVERIFY(line.IsOpen());
    QCOMPARE(line.deviceName(), QStringLiteral("COM3"));
}

void tst_Win32Line::shouldRefusePortsItCannotOpen_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<LineError>("expected");
    QTest::addColumn<QString>("device");
    QTest::newRow("port zero") << 0 << LineError::InvalidPortNumber << QString();
    const QStringList absent =
        qEnvironmentVariable("QUILLON_TEST_ABSENT_PORTS").split(u' ', Qt::SkipEmptyParts);
    for (const QString &n : {absent.value(0), absent.value(absent.size() - 1)})
        if (!n.isEmpty())
            QTest::newRow(qPrintable(QStringLiteral("COM%1 absent").arg(n)))
                << n.toInt() << LineError::InvalidPortNumber << QStringLiteral("COM%1").arg(n);
    QTest::newRow("COM8 no serial port") << int(kNotSerialPort) << LineError::OpenFailed << "COM8";
}

void tst_Win32Line::shouldRefusePortsItCannotOpen() {
    QFETCH(int, port);
    QFETCH(LineError, expected);
    QFETCH(QString, device);
    if (port == kNotSerialPort && !radioThere())
        QSKIP("needs scripts/windows' port layout");
    Win32SerialLine line;
    QCOMPARE(line.Configure(qint16(port)), LineError::None);
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.deviceName(), device);
    QCOMPARE(line.OpenPort(), expected);
    QVERIFY(!line.IsOpen());
    QCOMPARE(line.WriteBytes(QByteArray(5, '\0')), LineError::NotOpen);
    QCOMPARE(line.BytesWaiting(), std::nullopt);
    QCOMPARE(line.ReadAll(), std::nullopt);
    QCOMPARE(line.ClosePort(), LineError::NotOpen);
}

void tst_Win32Line::shouldExchangeExactBytesWithRadio() {
    if (!radioThere())
        QSKIP("no virtual radio on COM3 (run through scripts/windows)");
    Win32SerialLine line;
    openRadio(line);
    const qsizetype before = radioReceived(0).size();

    // Nothing has come yet: the read returns at once, empty, instead of waiting for bytes.
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(QByteArray()));

    QByteArray sent = toBytes(probeBlock());
    QByteArray want = send(line, sent);
    QCOMPARE(want.size(), kProbeReplyLength);
    QCOMPARE(readUntil(line, int(want.size())), want);

    // The status requests go out one byte per write, as the program sends them.
    for (const CommandBlock &status : {statusBlock(kStatusMain), statusBlock(kStatusMainAndSub)}) {
        QByteArray expected;
        for (quint8 b : status)
            expected += send(line, QByteArray(1, char(b)));
        sent += toBytes(status);
        QVERIFY(expected.size() == 16 || expected.size() == 32);
        QCOMPARE(readUntil(line, int(expected.size())), expected);
    }

    // A filter selection changes what the radio reports next.
    const quint8 mainBefore = m_model.mainFilterByte();
    const QByteArray select = toBytes(filterSelectBlock(2, 2)); // 455 kHz 500 Hz
    QVERIFY(send(line, select).isEmpty());
    sent += select;
    QVERIFY(m_model.mainFilterByte() != mainBefore);
    const QByteArray statusMain = toBytes(statusBlock(kStatusMain));
    want = send(line, statusMain);
    sent += statusMain;
    QCOMPARE(readUntil(line, int(want.size())), want);
    QCOMPARE(quint8(want.at(kMainFilterOffset)), m_model.mainFilterByte());

    QCOMPARE(radioReceived(before + sent.size()).mid(before), sent);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(line.ClosePort(), LineError::None);
    QVERIFY(!line.IsOpen());
}

void tst_Win32Line::shouldPassEveryByteValueBothWays() {
    if (!radioThere())
        QSKIP("no virtual radio on COM3 (run through scripts/windows)");
    Win32SerialLine line;
    openRadio(line);
    const qsizetype before = radioReceived(0).size();

    // Out: no byte turned into another (CR/LF), dropped (NUL) or taken as flow control
    // (XON/XOFF). 256 bytes and four more keep the radio's five-byte framing whole; no
    // opcode it knows falls on an opcode position.
    QByteArray all(260, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QCOMPARE(line.WriteBytes(all), LineError::None);
    QCOMPARE(radioReceived(before + all.size()).mid(before), all);
    QCOMPARE(concat(m_model.feed(all)), QByteArray());

    // In: the script gives the radio filter bytes such as XOFF and CR; the status record
    // must arrive exactly as sent.
    QByteArray want;
    for (quint8 b : statusBlock(kStatusMainAndSub))
        want += send(line, QByteArray(1, char(b)));
    QCOMPARE(want.size(), 32);
    QCOMPARE(readUntil(line, 32), want);
}

void tst_Win32Line::shouldReadNothingAfterClear() {
    if (!radioThere())
        QSKIP("no virtual radio on COM3 (run through scripts/windows)");
    Win32SerialLine line;
    openRadio(line);
    QCOMPARE(send(line, toBytes(probeBlock())).size(), kProbeReplyLength);
    // Waited for as the owner waits: the byte a wait takes in is cleared with the rest.
    SystemClock &clock = SystemClock::instance();
    const auto deadline = clock.now() + 5s;
    while (line.BytesWaiting().value_or(-1) < kProbeReplyLength && clock.now() < deadline)
        line.waitForInput(clock, deadline);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(kProbeReplyLength));
    QCOMPARE(line.ClearBuffers(), LineError::None);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
    QCOMPARE(line.ReadAll(), std::optional<QByteArray>(QByteArray()));
}

// The owner sleeps until the reply's bytes come, not on a tick: its first byte cannot come
// before the probe's five bytes have gone out (over 11 ms at 4800 baud), so a look every 2 ms
// would wake at least five times; a wait in the driver wakes once, and once more per slice.
// The reply then reads whole and in order, the byte the wait took in first.
void tst_Win32Line::shouldWaitForTheReplyNotOnATick() {
    if (!radioThere())
        QSKIP("no virtual radio on COM3 (run through scripts/windows)");
    Win32SerialLine line;
    openRadio(line);
    SystemClock &clock = SystemClock::instance();
    const QByteArray want = send(line, toBytes(probeBlock()));
    QCOMPARE(want.size(), kProbeReplyLength);
    const auto start = clock.now();
    const auto deadline = start + 5s;
    int waits = 0;
    while (line.BytesWaiting().value_or(0) == 0 && clock.now() < deadline) {
        line.waitForInput(clock, deadline);
        ++waits;
    }
    const auto took = clock.now() - start;
    QVERIFY2(line.BytesWaiting().value_or(0) > 0, "no reply within 5 s");
    QVERIFY2(waits <= 2 + int(took / kWaitSlice),
             qPrintable(QStringLiteral("%1 waits in %2 ms")
                            .arg(waits)
                            .arg(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())));
    QCOMPARE(readUntil(line, int(want.size())), want);
    QCOMPARE(line.BytesWaiting(), std::optional<qint16>(0));
}

// What an error means when opening a port (no port, a busy one, or something else) and on the
// handle of an open one (is the device gone?).
void tst_Win32Line::shouldReadWindowsErrors_data() {
    QTest::addColumn<quint32>("win32Error");
    QTest::addColumn<LineError>("openError");
    QTest::addColumn<bool>("gone");
    QTest::newRow("file not found") << quint32(ERROR_FILE_NOT_FOUND) << LineError::InvalidPortNumber << false;
    QTest::newRow("path not found") << quint32(ERROR_PATH_NOT_FOUND) << LineError::InvalidPortNumber << false;
    // Opening: another program holds the port. On an open handle: a pulled USB adapter.
    QTest::newRow("access denied") << quint32(ERROR_ACCESS_DENIED) << LineError::PortInUse << true;
    QTest::newRow("sharing violation") << quint32(ERROR_SHARING_VIOLATION) << LineError::PortInUse << false;
    QTest::newRow("busy") << quint32(ERROR_BUSY) << LineError::PortInUse << false;
    // Wine's answer once the device behind a port has gone.
    QTest::newRow("not ready") << quint32(ERROR_NOT_READY) << LineError::OpenFailed << true;
    QTest::newRow("gen failure") << quint32(ERROR_GEN_FAILURE) << LineError::OpenFailed << true;
    QTest::newRow("bad command") << quint32(ERROR_BAD_COMMAND) << LineError::OpenFailed << true;
    QTest::newRow("device removed") << quint32(ERROR_DEVICE_REMOVED) << LineError::OpenFailed << true;
    QTest::newRow("operation aborted") << quint32(ERROR_OPERATION_ABORTED) << LineError::OpenFailed << true;
    // A write that timed out, and a pseudo-terminal without modem lines: the device is there.
    QTest::newRow("timeout") << quint32(ERROR_SEM_TIMEOUT) << LineError::OpenFailed << false;
    QTest::newRow("not supported") << quint32(ERROR_NOT_SUPPORTED) << LineError::OpenFailed << false;
}

// Wine does not hold a COM port for the program that opened it, and as root it opens a
// pseudo-terminal whatever locks or modes it has, so a busy port cannot be made here; nor can
// a driver's answers for a pulled adapter: the mappings the program relies on are checked on
// their own.
void tst_Win32Line::shouldReadWindowsErrors() {
    QFETCH(quint32, win32Error);
    QFETCH(LineError, openError);
    QFETCH(bool, gone);
    QCOMPARE(lineErrorFromOpenFailure(win32Error), openError);
    QCOMPARE(win32ErrorMeansDeviceGone(win32Error), gone);
}

void tst_Win32Line::shouldFindRadioOnCom3() {
    if (!radioThere())
        QSKIP("no virtual radio on COM3 (run through scripts/windows)");
    Win32SerialLine line;
    ReplyWait wait;
    qint16 port = 0;
    QByteArray reply;
    SearchReport report;
    QVERIFY(searchForRadio(line, wait, port, reply, &report));
    QCOMPARE(port, kRadioPort);
    QCOMPARE(reply, concat(m_model.feed(toBytes(probeBlock()))));
    QVERIFY(line.IsOpen());
    QCOMPARE(report.size(), int(kRadioPort));
    const QStringList absent =
        qEnvironmentVariable("QUILLON_TEST_ABSENT_PORTS").split(u' ', Qt::SkipEmptyParts);
    for (const PortOutcome &p : report.mid(0, kRadioPort - 1)) {
        QCOMPARE(p.device, QStringLiteral("COM%1").arg(p.port));
        if (absent.contains(QString::number(p.port)))
            QCOMPARE(p.openError, LineError::InvalidPortNumber);
    }
}

// A radio that has stopped reading, on a line that takes no more bytes (the script stops both
// its process and the line's output): a write must fail after its timeout instead of holding
// the program for good.
void tst_Win32Line::shouldGiveUpAWriteTheLineDoesNotTake() {
    const int port = qEnvironmentVariableIntValue("QUILLON_TEST_STALLED_PORT");
    if (port == 0)
        QSKIP("no stalled radio (run through scripts/windows)");
    Win32SerialLine line;
    QCOMPARE(line.Configure(qint16(port)), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);
    const QByteArray chunk(kOutputBufferSize, '\0');
    LineError result = LineError::None;
    qint64 longest = 0;
    int writes = 0;
    // A pseudo-terminal that is not stopped holds some tens of kilobytes before it takes no more.
    while (result == LineError::None && writes < 1024) {
        QElapsedTimer timer;
        timer.start();
        result = line.WriteBytes(chunk);
        longest = std::max(longest, timer.elapsed());
        ++writes;
    }
    QCOMPARE(result, LineError::WriteFailed);
    // The timeout for one chunk is 3 ms a byte plus 100 ms, about 1.6 s; a write that blocks
    // would never come back at all.
    QVERIFY2(longest < 10000, qPrintable(QStringLiteral("a write took %1 ms").arg(longest)));
    QCOMPARE(line.ClosePort(), LineError::None);
}

// The same wedged line under the program's polls: after the first write times out, the rest of
// its block is not tried and further writes get only a short try, so a poll is its fixed waits
// and little more (five full write timeouts per request made it 1.4 s).
void tst_Win32Line::shouldKeepPollsShortOnAWedgedLine() {
    const int port = qEnvironmentVariableIntValue("QUILLON_TEST_STALLED_PORT");
    if (port == 0)
        QSKIP("no stalled radio (run through scripts/windows)");
    Win32SerialLine line;
    QCOMPARE(line.Configure(qint16(port)), LineError::None);
    QCOMPARE(line.OpenPort(), LineError::None);
    ReplyWait wait;
    QByteArray RxData;
    QStringList polls;
    qint64 longestAfterFirst = 0;
    for (int i = 0; i < 4; ++i) {
        QElapsedTimer timer;
        timer.start();
        exchangeMainStatus(line, wait, RxData);
        exchangeSubStatus(line, wait, RxData);
        const qint64 ms = timer.elapsed();
        polls << QString::number(ms);
        if (i > 0)
            longestAfterFirst = std::max(longestAfterFirst, ms);
    }
    QVERIFY(RxData.isEmpty());
    // The waits are 350 ms; a first byte's full timeout (103 ms) in every request would add 206.
    qInfo("figure: polls on a wedged line took %s ms", qPrintable(polls.join(QLatin1String(", "))));
    QVERIFY2(longestAfterFirst < 500, qPrintable(polls.join(QLatin1String(", "))));
    QCOMPARE(line.ClosePort(), LineError::None);
}

QTEST_GUILESS_MAIN(tst_Win32Line)
#include "tst_win32line.moc"

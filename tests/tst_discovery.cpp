// SPDX-License-Identifier: GPL-3.0-or-later
// Searching COM1..COM16 (or the one port the user chose) for the radio, against the in-process
// virtual radio.
#include "radio/commandblock.h"
#include "radio/discovery.h"
#include "radio/portchoice.h"
#include "sim/forwardingline.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"
#include "sim/virtualradio.h"

#include <QTest>

#include <map>
#include <memory>
#include <set>

using namespace quillon;
using namespace quillon::sim;
using namespace std::chrono_literals;
using Op = SimSerialLine::Op;

namespace {

// What stands behind one port in a scenario.
enum class Device { Radio, WrongId, Busy, Denied, Mute, Short4, Extra6, Twice, Silent };

// A line of simulated ports. Devices that answer with something other than the radio's
// five bytes are played by a virtual radio plus injected bytes.
class Scenario {
public:
    explicit Scenario(std::map<int, Device> ports) : m_ports(std::move(ports)) {
        for (const auto &[port, device] : m_ports) {
            const auto p = static_cast<qint16>(port);
            switch (device) {
            case Device::Busy:
                line.setBusy(p);
                break;
            case Device::Denied:
                line.setDenied(p);
                break;
            case Device::Mute:
                line.attachMute(p);
                break;
            default: {
                auto radio = std::make_unique<VirtualRadio>();
                if (device == Device::WrongId)
                    radio->setFault(RadioFault::WrongId);
                if (device == Device::Short4) {
                    radio->setFault(RadioFault::ShortReply);
                    radio->setShortReplyLength(4);
                }
                if (device == Device::Silent)
                    radio->setFault(RadioFault::Silent);
                line.attachRadio(p, radio.get());
                m_radios[port] = std::move(radio);
            }
            }
        }
    }

    bool search() {
        // Devices that say too much: after the probe goes out, add bytes behind the reply.
        return searchWithExtras();
    }

    std::set<qint16> portsTouched() const {
        std::set<qint16> out;
        for (const auto &c : line.calls())
            if (c.op == Op::Configure)
                out.insert(c.port);
        return out;
    }

    int closesOn(qint16 port) const {
        int n = 0;
        for (const auto &c : line.calls())
            if (c.op == Op::ClosePort && c.port == port && c.result == LineError::None)
                ++n;
        return n;
    }

    ManualClock clock;
    SimSerialLine line{clock};
    ReplyWait wait{clock};
    qint16 PortNum = 0;
    QByteArray RxData;
    SearchReport report;

private:
    bool searchWithExtras();

    std::map<int, Device> m_ports;
    std::map<int, std::unique_ptr<VirtualRadio>> m_radios;
};

// Wraps the line so a device can send more than the radio would, right after the probe.
class ChattyLine final : public ForwardingLine {
public:
    ChattyLine(SimSerialLine &inner, MonotonicClock &clock, std::map<int, Device> ports)
        : ForwardingLine(inner), m_inner(inner), m_clock(clock), m_ports(std::move(ports)) {}
    LineError Configure(qint16 p) override {
        m_port = p;
        return m_inner.Configure(p);
    }
    LineError WriteBytes(const QByteArray &bytes) override {
        const LineError e = m_inner.WriteBytes(bytes);
        const auto it = m_ports.find(m_port);
        if (e == LineError::None && it != m_ports.end()) {
            const auto soon = m_clock.now() + 40ms;
            if (it->second == Device::Extra6)
                m_inner.injectInput(QByteArray(1, '\x00'), soon);
            if (it->second == Device::Twice)
                m_inner.injectInput(QByteArray::fromHex("022002"
                                                        "0393"),
                                    soon);
        }
        return e;
    }

private:
    SimSerialLine &m_inner;
    MonotonicClock &m_clock;
    std::map<int, Device> m_ports;
    qint16 m_port = 0;
};

bool Scenario::searchWithExtras() {
    ChattyLine chatty(line, clock, m_ports);
    return searchForRadio(chatty, wait, PortNum, RxData, &report);
}

} // namespace

class tst_Discovery : public QObject {
    Q_OBJECT

private slots:
    void shouldFindTheRadioOnTheFirstAnsweringPort_data();
    void shouldFindTheRadioOnTheFirstAnsweringPort();
    void shouldSayWhyNothingWasFound_data();
    void shouldSayWhyNothingWasFound();
    void shouldNameWindowsPortsOnce();
    void shouldTakeAnyFlagBytesBeforeTheId_data();
    void shouldTakeAnyFlagBytesBeforeTheId();
    void shouldProbeEachPortInTheFixedOrderOfCalls();
    void shouldSpendAtLeastTheProbeWaitOnEveryOpenablePort();
    void shouldReadThePortTheUserChose_data();
    void shouldReadThePortTheUserChose();
};

void tst_Discovery::shouldFindTheRadioOnTheFirstAnsweringPort_data() {
    QTest::addColumn<QVariantMap>("ports"); // port -> Device as int
    QTest::addColumn<int>("expected");      // 0: not found
    QTest::addColumn<int>("lastTouched");
    const auto m = [](std::initializer_list<std::pair<int, Device>> l) {
        QVariantMap out;
        for (auto [p, d] : l)
            out.insert(QString::number(p), static_cast<int>(d));
        return out;
    };
    QTest::newRow("radio on 1") << m({{1, Device::Radio}, {2, Device::Radio}}) << 1 << 1;
    QTest::newRow("1 and 2 missing, radio on 3") << m({{3, Device::Radio}}) << 3 << 3;
    QTest::newRow("wrong ID 03 94 on 4, radio on 5")
        << m({{4, Device::WrongId}, {5, Device::Radio}}) << 5 << 5;
    QTest::newRow("port held elsewhere") << m({{1, Device::Busy}, {2, Device::Radio}}) << 2 << 2;
    QTest::newRow("mute port, then radio") << m({{1, Device::Mute}, {6, Device::Radio}}) << 6 << 6;
    QTest::newRow("4 bytes are not the radio") << m({{1, Device::Short4}, {9, Device::Radio}}) << 9 << 9;
    QTest::newRow("6 bytes are not the radio") << m({{1, Device::Extra6}, {9, Device::Radio}}) << 9 << 9;
    QTest::newRow("answering twice is not the radio") << m({{2, Device::Twice}}) << 0 << 16;
    QTest::newRow("silent device") << m({{16, Device::Silent}}) << 0 << 16;
    QTest::newRow("radio on 16") << m({{16, Device::Radio}}) << 16 << 16;
    QTest::newRow("nothing anywhere") << m({}) << 0 << 16;
}

void tst_Discovery::shouldFindTheRadioOnTheFirstAnsweringPort() {
    QFETCH(QVariantMap, ports);
    QFETCH(int, expected);
    QFETCH(int, lastTouched);
    std::map<int, Device> devices;
    for (auto it = ports.begin(); it != ports.end(); ++it)
        devices[it.key().toInt()] = static_cast<Device>(it.value().toInt());
    Scenario s(devices);

    const bool found = s.search();
    QCOMPARE(found, expected != 0);
    if (found) {
        QCOMPARE(s.PortNum, qint16(expected));
        QVERIFY(s.line.IsOpen());
        QCOMPARE(s.line.openPort(), qint16(expected));
        QCOMPARE(s.RxData.size(), 5);
    } else {
        QVERIFY2(!s.line.IsOpen(), "nothing is left open after a failed search");
    }
    // Ports are tried in order and none after the radio's.
    const std::set<qint16> touched = s.portsTouched();
    QCOMPARE(*touched.rbegin(), qint16(lastTouched));
    QCOMPARE(touched.size(), std::size_t(lastTouched));
    // Every port that opened and was not the radio was closed again, once.
    for (const auto &[port, device] : devices) {
        if (port == expected || port > lastTouched || device == Device::Busy)
            continue;
        QCOMPARE(s.closesOn(static_cast<qint16>(port)), 1);
    }
    QCOMPARE(s.line.openCount() - s.line.closeCount(), found ? 1 : 0);
}

void tst_Discovery::shouldSayWhyNothingWasFound_data() {
    QTest::addColumn<QVariantMap>("ports"); // port -> Device as int; each named /dev/ttyUSB<port-1>
    QTest::addColumn<QString>("cause");
    const auto m = [](std::initializer_list<std::pair<int, Device>> l) {
        QVariantMap out;
        for (auto [p, d] : l)
            out.insert(QString::number(p), static_cast<int>(d));
        return out;
    };
    const QString fix = QStringLiteral("Run \"sudo usermod -aG dialout $USER\", then log out and in again.");
    QTest::newRow("no ports at all") << m({})
                                     << QStringLiteral(
                                            "This computer has no serial ports. Connect the radio's CAT "
                                            "cable or USB serial adapter before starting Quillon.");
    QTest::newRow("permission before busy and wrong id")
        << m({{1, Device::WrongId}, {2, Device::Busy}, {3, Device::Denied}})
        << QStringLiteral("You do not have permission to open COM3 (/dev/ttyUSB2). ") + fix;
    QTest::newRow("two without permission")
        << m({{1, Device::Denied}, {4, Device::Denied}})
        << QStringLiteral("You do not have permission to open COM1 (/dev/ttyUSB0) and COM4 "
                          "(/dev/ttyUSB3). ") +
               fix;
    QTest::newRow("busy before wrong id")
        << m({{1, Device::WrongId}, {2, Device::Busy}})
        << QStringLiteral("COM2 (/dev/ttyUSB1) is in use by another program. Close that program "
                          "and start Quillon again.");
    QTest::newRow("three busy")
        << m({{1, Device::Busy}, {2, Device::Busy}, {5, Device::Busy}})
        << QStringLiteral("COM1 (/dev/ttyUSB0), COM2 (/dev/ttyUSB1) and COM5 (/dev/ttyUSB4) are "
                          "in use by another program. Close that program and start Quillon again.");
    QTest::newRow("wrong id") << m({{2, Device::WrongId}, {3, Device::Mute}})
                              << QStringLiteral(
                                     "A device answered on COM2 (/dev/ttyUSB1), but not as an FT-1000MP.");
    QTest::newRow("four bytes and answering twice are answers")
        << m({{1, Device::Short4}, {7, Device::Twice}})
        << QStringLiteral("A device answered on COM1 (/dev/ttyUSB0) and COM7 (/dev/ttyUSB6), but "
                          "not as an FT-1000MP.");
    QTest::newRow("silent and mute ports: nothing more to say")
        << m({{1, Device::Mute}, {2, Device::Silent}}) << QString();
}

void tst_Discovery::shouldSayWhyNothingWasFound() {
    QFETCH(QVariantMap, ports);
    QFETCH(QString, cause);
    std::map<int, Device> devices;
    for (auto it = ports.begin(); it != ports.end(); ++it)
        devices[it.key().toInt()] = static_cast<Device>(it.value().toInt());
    Scenario s(devices);
    for (int p = 1; p <= 16; ++p)
        s.line.nameDevice(qint16(p), QStringLiteral("/dev/ttyUSB%1").arg(p - 1));
    QVERIFY(!s.search());
    QCOMPARE(s.report.size(), 16);
    QCOMPARE(searchFailureCause(s.report), cause);
}

void tst_Discovery::shouldNameWindowsPortsOnce() {
    // On Windows the device is the COM port itself; "COM2 (COM2)" would only confuse.
    Scenario s({{2, Device::Busy}});
    s.line.nameDevice(2, QStringLiteral("COM2"));
    QVERIFY(!s.search());
    QCOMPARE(searchFailureCause(s.report),
             QStringLiteral("COM2 is in use by another program. Close that program and start "
                            "Quillon again."));
}

void tst_Discovery::shouldTakeAnyFlagBytesBeforeTheId_data() {
    QTest::addColumn<int>("f0");
    QTest::addColumn<int>("f1");
    QTest::addColumn<int>("f2");
    QTest::newRow("Mark V") << 0x02 << 0x20 << 0x02;
    QTest::newRow("zeros") << 0 << 0 << 0;
    QTest::newRow("ones") << 0xFF << 0xFF << 0xFF;
    QTest::newRow("looks like an ID") << 0x03 << 0x93 << 0x03;
}

void tst_Discovery::shouldTakeAnyFlagBytesBeforeTheId() {
    QFETCH(int, f0);
    QFETCH(int, f1);
    QFETCH(int, f2);
    ManualClock clock;
    VirtualRadio radio;
    radio.setFlags(static_cast<quint8>(f0), static_cast<quint8>(f1), static_cast<quint8>(f2));
    SimSerialLine line(clock);
    line.attachRadio(7, &radio);
    ReplyWait wait(clock);
    qint16 PortNum = 0;
    QByteArray RxData;
    QVERIFY(searchForRadio(line, wait, PortNum, RxData));
    QCOMPARE(PortNum, qint16(7));
    QCOMPARE(RxData,
             QByteArray::fromHex(QByteArray::number((f0 << 16) | (f1 << 8) | f2, 16).rightJustified(6, '0')) +
                 QByteArray::fromHex("0393"));
}

void tst_Discovery::shouldProbeEachPortInTheFixedOrderOfCalls() {
    Scenario s({{2, Device::WrongId}, {3, Device::Radio}});
    const auto start = s.clock.now();
    QVERIFY(s.search());
    // Ports 2 and 3 each cost the probe's wait; port 1 (missing) costs nothing.
    QVERIFY(s.clock.now() - start >= 200ms);
    QVERIFY(s.clock.now() - start < 260ms);

    std::vector<std::pair<Op, qint16>> got;
    for (const auto &c : s.line.calls())
        if (c.op != Op::IsOpen)
            got.emplace_back(c.op, c.port);
    const std::vector<std::pair<Op, qint16>> want{
        {Op::Configure, 1},    {Op::ClearBuffers, 1}, {Op::OpenPort, 1},     {Op::Configure, 2},
        {Op::ClearBuffers, 2}, {Op::OpenPort, 2},     {Op::WriteBytes, 2},   {Op::BytesWaiting, 2},
        {Op::ReadAll, 2},      {Op::ClosePort, 2},    {Op::Configure, 3},    {Op::ClearBuffers, 3},
        {Op::OpenPort, 3},     {Op::WriteBytes, 3},   {Op::BytesWaiting, 3}, {Op::ReadAll, 3},
    };
    QCOMPARE(got, want);
    QCOMPARE(s.line.writes().front(), QByteArray::fromHex("00000000fa"));
    QCOMPARE(s.line.writes().size(), std::size_t(2));
}

void tst_Discovery::shouldSpendAtLeastTheProbeWaitOnEveryOpenablePort() {
    std::map<int, Device> all;
    for (int p = 1; p <= 16; ++p)
        all[p] = Device::Mute;
    Scenario s(all);
    const auto start = s.clock.now();
    QVERIFY(!s.search());
    QVERIFY(s.clock.now() - start >= 1600ms);
    QCOMPARE(s.line.openCount(), 16);
    QCOMPARE(s.line.closeCount(), 16);
}

void tst_Discovery::shouldReadThePortTheUserChose_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("read"); // kind and parts, or empty when refused
    QTest::newRow("COM3") << "COM3"
                          << "com 3";
    QTest::newRow("com256, any case") << "com256"
                                      << "com 256";
    QTest::newRow("COM0") << "COM0"
                          << "";
    QTest::newRow("COM257") << "COM257"
                            << "";
    QTest::newRow("address") << "192.168.1.20:3001"
                             << "net 192.168.1.20 3001";
    QTest::newRow("name") << "shack-pi.local:2000"
                          << "net shack-pi.local 2000";
    QTest::newRow("IPv6 in brackets") << "[fe80::1]:3001"
                                      << "net fe80::1 3001";
    QTest::newRow("IPv6 without brackets") << "fe80::1:3001"
                                           << "";
    QTest::newRow("brackets round a name") << "[pi]:3001"
                                           << "";
    QTest::newRow("port 0") << "pi:0"
                            << "";
    QTest::newRow("port 65536") << "pi:65536"
                                << "";
    QTest::newRow("no port") << "pi:"
                             << "";
    QTest::newRow("no host") << ":3001"
                             << "";
    QTest::newRow("just a name") << "ttyUSB0"
                                 << "";
#if defined(Q_OS_WIN)
    QTest::newRow("a path on Windows") << "/dev/ttyUSB1"
                                       << "";
#else
    // by-path names hold colons; a path is never taken for host:port.
    QTest::newRow("device path with colons")
        << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"
        << "device /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
#endif
}

void tst_Discovery::shouldReadThePortTheUserChose() {
    QFETCH(QString, where);
    QFETCH(QString, read);
    QString error;
    const std::optional<PortChoice> choice = parsePortChoice(where, &error);
    QString got;
    if (choice && choice->kind == PortChoice::Kind::Com)
        got = QStringLiteral("com %1").arg(choice->com);
    else if (choice && choice->kind == PortChoice::Kind::Network)
        got = QStringLiteral("net %1 %2").arg(choice->host).arg(choice->tcpPort);
    else if (choice && choice->kind == PortChoice::Kind::Device)
        got = QStringLiteral("device %1").arg(choice->device);
    QCOMPARE(got, read);
    QCOMPARE(error.isEmpty(), bool(choice));
    // One port only, and the search's messages name it as the user wrote it.
    if (choice) {
        const SearchPlan plan = searchPlanFor(*choice);
        QCOMPARE(plan.first, plan.last);
        QCOMPARE(plan.chosen.compare(where, Qt::CaseInsensitive), 0);
    }
}

Q_DECLARE_METATYPE(SimSerialLine::Op)
QTEST_APPLESS_MAIN(tst_Discovery)
#include "tst_discovery.moc"

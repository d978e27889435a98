// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/replywait.h"
#include "radio/serialline.h"
#include "virtualradio.h"

#include <map>
#include <mutex>
#include <vector>

namespace quillon::sim {

// An in-process serial line with up to sixteen simulated ports behind it. Replies of the
// virtual radio arrive at the wire's pace on the given clock, so with a ManualClock a whole
// exchange runs instantly. Every call is recorded for the tests.
//
// Behaviour where a real port leaves room:
// - Configure only selects the port for the next open; on an open port it is refused
//   (OpenFailed), as the home control refused to change ports while open.
// - ClearBuffers on a closed port succeeds (nothing is waiting); on an open one it drops what
//   has arrived, while bytes still on the wire arrive later (that is how late replies happen).
// - A written byte reaches the radio one byte time after it was written or after the byte
//   before it, whichever is later; the radio acts on a block only once its last byte is in.
//   Reply byte n (1-based) becomes readable at that moment + the radio's delay + n byte times;
//   a reply never overtakes one still being sent. The radio takes in what has reached it when
//   the line is next used, so a test that reads or turns the radio's knobs directly should
//   use the line (BytesWaiting will do) once the request's air time is past.
// - At most kInputBufferSize bytes wait unread; later arrivals beyond that are lost (overrun).
// - Closing drops all input pending, in flight or not; what was written still reaches the
//   radio, as a port drains its output on close.
// - After unplug() (or when the radio's fault is Unplugged) the port stays open as far as
//   IsOpen is concerned, as a handle to a vanished device does, but writes fail (WriteFailed),
//   counts and reads fail (nullopt, recorded as ReadFailed), and the port number is missing
//   for later opens. ClosePort still succeeds.
class SimSerialLine final : public SerialLine {
public:
    enum class Op { Configure, ClearBuffers, OpenPort, IsOpen, ClosePort, WriteBytes, BytesWaiting, ReadAll };
    struct Call {
        Op op;
        qint16 port;     // the configured port at the time of the call
        QByteArray data; // bytes written, or bytes returned by ReadAll
        LineError result = LineError::None;
    };

    explicit SimSerialLine(MonotonicClock &clock);

    // What stands behind a port number. Ports not mentioned are missing.
    void attachRadio(qint16 portNum, VirtualRadio *radio);
    void setBusy(qint16 portNum);   // exists, another program holds it (PortInUse)
    void setDenied(qint16 portNum); // exists, this user may not open it (PermissionDenied)
    // The device name reported for a port (empty by default).
    void nameDevice(qint16 portNum, const QString &name) { m_names[portNum] = name; }
    void attachMute(qint16 portNum); // opens, never answers
    void unplug();                   // the open device vanishes: later I/O fails
    // Input handed over as a USB adapter does: in chunks, every `period` (0: byte by byte).
    void setChunkPeriod(std::chrono::microseconds period) { m_transmitter.setChunkPeriod(period); }
    // Bytes that arrive on the open port at time `at` (for late and unsolicited input).
    void injectInput(const QByteArray &bytes, MonotonicClock::time_point at);

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    // Sleeps until the next byte on its way arrives (not recorded as a call).
    void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) override;
    QString deviceName() const override;

    // A copy: the line's owner may be adding to them meanwhile.
    std::vector<Call> calls() const;
    void clearCalls();
    // The payload of every WriteBytes call that succeeded, in order (one entry per call).
    std::vector<QByteArray> writes() const;
    // All bytes written, concatenated.
    QByteArray wire() const;
    int openCount() const { return m_openCount; }
    int closeCount() const { return m_closeCount; }
    qint16 openPort() const { return m_open ? m_port : 0; }

private:
    enum class Kind { Missing, Busy, Denied, Mute, Radio };
    struct Slot {
        Kind kind = Kind::Missing;
        VirtualRadio *radio = nullptr;
    };

    Slot slot(qint16 port) const;
    void record(Op op, QByteArray data = {}, LineError result = LineError::None) const;
    int arrived() const;
    void settle();
    bool deviceGone() const;
    void enqueue(WireByte b);
    void hearRadio(MonotonicClock::time_point upTo);

    MonotonicClock &m_clock;
    std::map<qint16, Slot> m_slots;
    std::map<qint16, QString> m_names;
    qint16 m_port = 0;
    bool m_open = false;
    bool m_unplugged = false;
    std::vector<WireByte> m_pending; // sorted by arrival
    RequestWire m_toRadio;
    ReplyTransmitter m_transmitter;
    mutable std::mutex m_callsMutex;
    mutable std::vector<Call> m_calls;
    int m_openCount = 0;
    int m_closeCount = 0;
};

} // namespace quillon::sim

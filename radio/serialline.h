// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <optional>

class QThread;

namespace quillon {

class LinkDelay;

// Why an operation on the line failed. Callers mostly just go on, but discovery's
// diagnostics and the tests need to tell a missing port from a busy one.
enum class LineError {
    None,
    InvalidPortNumber, // no device behind this COM number
    OpenFailed,        // the device exists but cannot be opened (not a serial device, ...)
    PermissionDenied,  // the device exists but this user may not open it
    PortInUse,         // another program holds the device
    NotOpen,           // the operation needs an open port
    WriteFailed,
    ReadFailed,
    // A radio behind a serial server on the network (host:port)
    ConnectionRefused, // nothing listens on that port
    HostNotFound,      // the name does not resolve
    TimedOut,          // no answer to the connection (or the name) in time
    ConnectionClosed,  // the server closed the connection at once
};

const char *lineErrorName(LineError error);

// "COM3": the name a port number has for the user and in the log, and on Windows the device.
QString comName(int portNum);

// The radio's line settings never change: 4800 baud, no parity, 8 data bits, 2 stop bits.
inline constexpr qint32 kBaudRate = 4800;
inline constexpr int kInputBufferSize = 1024;
inline constexpr int kOutputBufferSize = 512;
inline constexpr qint16 kFirstPort = 1;
inline constexpr qint16 kLastPort = 16;
// One byte on the wire at 4800 baud: a start bit, 8 data bits, 2 stop bits.
inline constexpr std::chrono::microseconds kLineByteTime{(1'000'000 * 11 + kBaudRate / 2) / kBaudRate};
// Under a byte time.
inline constexpr std::chrono::milliseconds kInputTick{2};
// The longest a wait for input that nothing can end early (a Windows port or socket) sleeps
// before it looks at the clock again: stopping the line's owner is seen within it.
inline constexpr std::chrono::milliseconds kWaitSlice{50};

// The one serial line to the radio. Every caller goes through these eight operations so that
// the program runs the same against a real port, a pseudo-terminal or the in-process radio.
class SerialLine {
public:
    virtual ~SerialLine() = default;

    // Before opening: DTR off, "4800,n,8,2", binary read-all input, select port PortNum.
    virtual LineError Configure(qint16 PortNum) = 0;
    // Discard unread input and unsent output.
    virtual LineError ClearBuffers() = 0;
    virtual LineError OpenPort() = 0;
    virtual bool IsOpen() const = 0;
    virtual LineError ClosePort() = 0;
    // Sends the bytes in order and unchanged; returns once they are handed to the device.
    virtual LineError WriteBytes(const QByteArray &bytes) = 0;
    // Count of received bytes not yet read; nullopt when the line cannot be asked.
    virtual std::optional<qint16> BytesWaiting() = 0;
    // Every received byte not yet read (possibly none); nullopt when the read failed.
    virtual std::optional<QByteArray> ReadAll() = 0;

    // Sleeps on `clock` until bytes arrive that the line has not yet taken in, or until the
    // deadline: a reply is read the moment it is whole, with no looking on a tick. A line
    // that cannot wait on its device looks again after kInputTick.
    virtual void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline);

    // The system's name of the device behind the configured port ("/dev/ttyUSB0", "COM3"),
    // for messages only; empty when there is none.
    virtual QString deviceName() const { return {}; }

    // Where replies come later than over a cable (a serial server on the network): what the line
    // learns of that delay, which lengthens its waits. None for a serial port, whose waits are
    // the fixed ones.
    virtual LinkDelay *linkDelay() { return nullptr; }

    // A device that goes away while open (an adapter unplugged, a server's connection dropped)
    // leaves the line open, with failing I/O: lost. The line's owner takes it again with
    // reopen(), which never waits long and sends nothing: None once the same device is usable
    // again. A network line's try goes on by itself; reopening() is true meanwhile, and the
    // next call says how far it got. The owner decides how often a new try begins.
    virtual bool isLost() const { return false; }
    virtual LineError reopen() { return LineError::NotOpen; }
    virtual bool reopening() const { return false; }
    // What came back at the device's name is not the radio: let it go, lost again.
    virtual void letGo() {}
    // The shortest time between two new tries, for the owner.
    virtual std::chrono::milliseconds reopenInterval() const { return std::chrono::milliseconds(400); }

    // The line's Qt objects go to the thread that does its I/O; called from the thread that has
    // them.
    virtual void moveToThread(QThread *thread) { Q_UNUSED(thread); }
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "porttable.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>

#include <chrono>

#include <termios.h>

namespace quillon {

// The program's serial line on a real (or pseudo-terminal) device, with plain POSIX calls. It
// lives on the line owner's thread, which runs no event loop: nothing here needs one, and a
// reply is waited for with poll() on the descriptor.
//
// Input is taken in from the device into a buffer of at most kInputBufferSize bytes; the rest
// waits in the operating system. The descriptor therefore becomes readable again only with
// bytes not yet taken in, so that waitForInput() never wakes for what the caller has already
// seen.
//
// A device that goes away while open (a USB adapter unplugged) is let go at once, so that a
// hung-up descriptor cannot keep waking anything; the line is lost (open, with failing I/O)
// until reopen() finds the same device path back. Writes never wait longer than kWriteLimit.
class PosixSerialLine final : public SerialLine {
public:
    explicit PosixSerialLine(PortTable table);
    ~PosixSerialLine() override;
    PosixSerialLine(const PosixSerialLine &) = delete;
    PosixSerialLine &operator=(const PosixSerialLine &) = delete;

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) override;
    QString deviceName() const override;
    bool isLost() const override { return m_lost; }
    LineError reopen() override;
    void letGo() override;
    std::chrono::milliseconds reopenInterval() const override { return kLookInterval; }

    // How long a write may take to leave before it fails.
    static constexpr std::chrono::milliseconds kWriteLimit{100};
    // The shortest time between two tries to reopen a lost device; a poll comes every 500 ms.
    static constexpr std::chrono::milliseconds kLookInterval{400};

private:
    bool pullIn();
    LineError openDevice();
    void lowerModemLines();
    bool hungUp() const;
    bool writable() const;
    void lose(const char *why);
    void closeDescriptor(bool restore);
    LineError failWrite(const char *what, int error);

    PortTable m_table;
    qint16 m_portNum = 0;
    QString m_device; // as the port table names it: "/dev/ttyUSB0"
    int m_fd = -1;
    termios m_saved{};  // the device's settings before we opened it, restored on close
    QByteArray m_input; // taken in from the device, not yet read; at most kInputBufferSize
    bool m_lost = false;
    bool m_stuck = false; // the last write could not leave in time
};

} // namespace quillon

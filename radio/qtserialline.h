// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "porttable.h"
#include "serialline.h"

#include <QSerialPort>

#include <chrono>

namespace quillon {

// The program's serial line on a real (or pseudo-terminal) device, through QSerialPort.
// Works without an event loop: writes are pushed out at once, counts and reads first pull in
// whatever the operating system holds.
//
// A device that goes away while open (a USB adapter unplugged) is let go at once, so that a
// hung-up descriptor cannot keep waking anything; the line is lost (open, with failing I/O)
// until reopen() finds the same device path back. Writes never wait longer than kWriteLimit.
class QtSerialLine final : public SerialLine {
public:
    explicit QtSerialLine(PortTable table);
    ~QtSerialLine() override;

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    QString deviceName() const override;
    bool isLost() const override { return m_lost; }
    LineError reopen() override;
    void letGo() override;
    std::chrono::milliseconds reopenInterval() const override { return kLookInterval; }
    void moveToThread(QThread *thread) override;

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

    PortTable m_table;
    QSerialPort m_port;
    qint16 m_portNum = 0;
    QString m_device; // as the port table names it: "/dev/ttyUSB0"
    bool m_lost = false;
    bool m_stuck = false; // the last write could not leave in time
};

} // namespace quillon

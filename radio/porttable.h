// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace quillon {

// What the port table needs to know of one serial device found on the system.
struct PortCandidate {
    QString portName;       // "ttyUSB0", "ttyS3", "COM4"
    QString systemLocation; // "/dev/ttyUSB0"
    bool hasUart = true;    // false for placeholder 8250 ports with no chip behind them
    bool isUsbOrAcm = false;
};

// Orders candidates into the COM1..COMn sequence: placeholders dropped, USB and ACM adapters
// first, then the rest, each group in natural order (ttyUSB2 before ttyUSB10).
// Returns for each: systemLocation, or portName when no location is known.
QStringList orderPortTable(QList<PortCandidate> candidates);

// The one name every spelling of a port comes down to: "COMn" in capitals (also written
// "\\.\COMn" or in small letters), or the device a path leads to through its links, so that
// /dev/serial/by-id/... and /dev/ttyUSB0 are the same port. A path that does not exist stays
// as it is, cleaned.
QString portIdentity(const QString &port);

// False for a serial device the system lists although no UART stands behind it (Linux keeps
// placeholder 8250 ports with sysfs type 0); true wherever that cannot be told.
bool portHasUart(const QString &portName);

// Maps the program's port numbers COM1..COM16 to device names. Built once per program start;
// tests and the demo construct one from their own list.
class PortTable {
public:
    PortTable() = default;
    explicit PortTable(QStringList devices) : m_devices(std::move(devices)) {}

    // The device for COM n, or an empty string when there is none.
    QString deviceFor(int portNum) const;
    const QStringList &devices() const { return m_devices; }

    // The system's table: "COMn" on Windows, the ordered device list elsewhere.
    static PortTable fromSystem();
    // COM n is simply "COMn" (Windows).
    static PortTable identity();

private:
    QStringList m_devices;
    bool m_identity = false;
};

} // namespace quillon

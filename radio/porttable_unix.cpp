// SPDX-License-Identifier: GPL-3.0-or-later
#include "porttable.h"

#include "logging.h"
#include "serialline.h"

#include <QSerialPortInfo>
#include <QtGlobal>

#if defined(Q_OS_LINUX)
#include <QFile>
#endif

namespace quillon {

bool portHasUart(const QString &portName) {
#if defined(Q_OS_LINUX)
    // The 8250 driver registers ttyS0..ttyS31 whether or not a chip is there; those without
    // one report UART type 0 (PORT_UNKNOWN) and cannot carry a byte. Other drivers have no
    // such file and are real.
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(portName));
    if (!type.open(QIODevice::ReadOnly))
        return true;
    return type.readAll().trimmed() != "0";
#else
    Q_UNUSED(portName);
    return true;
#endif
}

// The system's serial devices, ordered into COM1, COM2, ...
PortTable PortTable::fromSystem() {
    QList<PortCandidate> candidates;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
#if defined(Q_OS_MACOS)
        // Each device appears as tty.* and cu.*; only the call-out side opens without carrier.
        if (name.startsWith(QLatin1String("tty.")))
            continue;
#endif
        PortCandidate c;
        c.portName = name;
        c.systemLocation = info.systemLocation();
        c.hasUart = portHasUart(name);
        c.isUsbOrAcm = name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM")) ||
                       info.hasVendorIdentifier();
        candidates.append(c);
    }
    PortTable table(orderPortTable(candidates));
    for (int i = 0; i < table.devices().size(); ++i)
        qCDebug(lcRadio).nospace() << qUtf8Printable(comName(i + 1)) << " is "
                                   << qUtf8Printable(table.devices().at(i));
    return table;
}

} // namespace quillon

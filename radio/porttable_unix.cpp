#include "porttable.h"

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

} // namespace quillon

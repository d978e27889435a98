// SPDX-License-Identifier: GPL-3.0-or-later
#include "serialline.h"

#include <algorithm>

namespace quillon {

void SerialLine::waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) {
    clock.sleepUntil(std::min(deadline, clock.now() + kInputTick));
}

const char *lineErrorName(LineError error) {
    switch (error) {
    case LineError::None:
        return "no error";
    case LineError::InvalidPortNumber:
        return "invalid port number";
    case LineError::OpenFailed:
        return "cannot open port";
    case LineError::PermissionDenied:
        return "permission denied";
    case LineError::PortInUse:
        return "port in use by another program";
    case LineError::NotOpen:
        return "port not open";
    case LineError::WriteFailed:
        return "write failed";
    case LineError::ReadFailed:
        return "read failed";
    case LineError::ConnectionRefused:
        return "connection refused";
    case LineError::HostNotFound:
        return "host not found";
    case LineError::TimedOut:
        return "timed out";
    case LineError::ConnectionClosed:
        return "connection closed by the server";
    }
    return "unknown error";
}

QString comName(int portNum) { return QStringLiteral("COM%1").arg(portNum); }

} // namespace quillon

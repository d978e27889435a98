#include "discovery.h"

#include "commandblock.h"
#include "logging.h"

namespace quillon {

namespace {

// Tries one port; true when the radio answered there (the port is then left open).
bool probePort(SerialLine &line, ReplyWait &wait, qint16 PortNum, QByteArray &RxData) {
    if (LineError e = line.Configure(PortNum); e != LineError::None) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, configure: " << lineErrorName(e);
        return false;
    }
    if (LineError e = line.ClearBuffers(); e != LineError::None) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, clear: " << lineErrorName(e);
        return false;
    }
    if (LineError e = line.OpenPort(); e != LineError::None) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, open: " << lineErrorName(e);
        return false;
    }
    if (LineError e = SendProbe(line); e != LineError::None) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, probe: " << lineErrorName(e);
        return false;
    }
    wait.MarkTime();
    wait.DoDelay(kProbeDelay);

    const std::optional<qint16> waiting = line.BytesWaiting();
    if (waiting != kProbeReplyLength) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, " << (waiting ? *waiting : -1)
                                   << " bytes waiting after the probe, expected " << kProbeReplyLength;
        return false;
    }
    std::optional<QByteArray> reply = line.ReadAll();
    if (!reply) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, read failed";
        return false;
    }
    RxData = *reply;
    if (!isRadioReply(RxData)) {
        qCDebug(lcRadio).nospace() << "COM" << PortNum << ": rejected, probe reply "
                                   << RxData.toHex(' ').constData();
        return false;
    }
    qCDebug(lcRadio).nospace() << "COM" << PortNum << ": radio found, probe reply "
                               << RxData.toHex(' ').constData();
    return true;
}

} // namespace

bool SearchForRadio(SerialLine &line, ReplyWait &wait, qint16 &PortNum, QByteArray &RxData) {
    for (PortNum = kFirstPort; PortNum <= kLastPort; ++PortNum) {
        if (probePort(line, wait, PortNum, RxData))
            return true;
        // Not the radio: close what was opened (a failure to close changes nothing) and go on.
        if (line.IsOpen())
            line.ClosePort();
    }
    return false;
}

} // namespace quillon

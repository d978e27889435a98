// SPDX-License-Identifier: GPL-3.0-or-later
#include "discovery.h"

#include "commandblock.h"
#include "linkdelay.h"
#include "logging.h"
#include "porttable.h"
#include "replyread.h"

#include <QStringList>

#include <algorithm>
#include <functional>

namespace quillon {

bool ProbeAnswer::isRadio() const { return reply && isRadioReply(*reply); }

ProbeAnswer probeForRadio(SerialLine &line, ReplyWait &wait) {
    ProbeAnswer answer;
    answer.sent = SendProbe(line);
    if (answer.sent != LineError::None)
        return answer;
    wait.MarkTime();
    // On a network line the reply is waited for until its five bytes are in, for at most the
    // fixed wait and what the link is known to add; then a little longer, so that a sixth byte,
    // which would make it no reply of the radio's, is seen as over a cable.
    LinkDelay *link = line.linkDelay();
    ReplyRead how;
    how.length = kProbeReplyLength;
    how.wait = kProbeDelay + linkAllowance(line);
    how.waitOut = !link;
    how.countOnly = true;
    how.look = 3ms;
    how.lookOnlyWhenWhole = true;
    const ReplyResult read = readReply(line, wait, how);
    if (link) {
        if (read.whole)
            link->replied(read.doneAt - wait.StartTime());
        else
            link->missed();
    }
    answer.waiting = read.waiting;
    if (answer.waiting == kProbeReplyLength)
        answer.reply = line.ReadAll();
    return answer;
}

bool stillTheRadio(SerialLine &line, ReplyWait &wait) {
    const ProbeAnswer answer = probeForRadio(line, wait);
    qCDebug(lcRadio).nospace() << "identification after reopening: "
                               << (answer.reply ? answer.reply->toHex(' ').constData() : "no reply")
                               << (answer.isRadio() ? ", the radio" : ", not the radio");
    return answer.isRadio();
}

namespace {

// Tries one port; true when the radio answered there (the port is then left open).
bool probePort(SerialLine &line, ReplyWait &wait, qint16 PortNum, QByteArray &RxData, PortOutcome &outcome) {
    QByteArray com = comName(PortNum).toLatin1(); // for the log
    if (LineError e = line.Configure(PortNum); e != LineError::None) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, configure: " << lineErrorName(e);
        return false;
    }
    if (const QString device = line.deviceName(); !device.isEmpty())
        com += " (" + device.toUtf8() + ')';
    if (LineError e = line.ClearBuffers(); e != LineError::None) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, clear: " << lineErrorName(e);
        return false;
    }
    outcome.device = line.deviceName();
    if (LineError e = line.OpenPort(); e != LineError::None) {
        outcome.openError = e;
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, open: " << lineErrorName(e);
        return false;
    }
    const ProbeAnswer answer = probeForRadio(line, wait);
    if (answer.sent != LineError::None) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, probe: " << lineErrorName(answer.sent);
        return false;
    }
    outcome.answered = answer.waiting.value_or(0) > 0;
    if (answer.waiting != kProbeReplyLength) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, " << answer.waiting.value_or(-1)
                                   << " bytes waiting after the probe, expected " << kProbeReplyLength;
        return false;
    }
    if (!answer.reply) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, read failed";
        return false;
    }
    RxData = *answer.reply;
    if (!isRadioReply(RxData)) {
        qCDebug(lcRadio).nospace() << com.constData() << ": rejected, probe reply "
                                   << RxData.toHex(' ').constData();
        return false;
    }
    qCDebug(lcRadio).nospace() << com.constData() << ": radio found, probe reply "
                               << RxData.toHex(' ').constData();
    return true;
}

// True, without opening it, when the port is one served to other programs.
bool leftToOthers(SerialLine &line, qint16 PortNum, const SearchPlan &plan, PortOutcome &outcome) {
    if (plan.shared.isEmpty() || line.Configure(PortNum) != LineError::None ||
        !plan.shared.contains(portIdentity(line.deviceName())))
        return false;
    outcome.device = line.deviceName();
    outcome.shared = true;
    qCDebug(lcRadio).nospace() << qUtf8Printable(comName(PortNum))
                               << ": left alone, shared with other programs";
    return true;
}

} // namespace

bool searchForRadio(SerialLine &line, ReplyWait &wait, qint16 &PortNum, QByteArray &RxData,
                    SearchReport *report, const SearchPlan &plan) {
    if (report)
        report->clear();
    for (PortNum = plan.first; PortNum <= plan.last; ++PortNum) {
        PortOutcome outcome;
        outcome.port = PortNum;
        const bool found =
            !leftToOthers(line, PortNum, plan, outcome) && probePort(line, wait, PortNum, RxData, outcome);
        if (report)
            report->append(outcome);
        if (found)
            return true;
        // Not the radio: close what was opened (a failure to close changes nothing) and go on.
        if (line.IsOpen())
            line.ClosePort();
    }
    return false;
}

namespace {

QString portLabel(const PortOutcome &p) {
    const QString com = comName(p.port);
    if (p.device.isEmpty() || p.device.compare(com, Qt::CaseInsensitive) == 0)
        return com;
    return QStringLiteral("%1 (%2)").arg(com, p.device);
}

QStringList portsWhere(const SearchReport &report, const std::function<bool(const PortOutcome &)> &pick) {
    QStringList names;
    for (const PortOutcome &p : report)
        if (pick(p))
            names << portLabel(p);
    return names;
}

// "COM1 (/dev/ttyUSB0)", "COM1 and COM2", "COM1, COM2 and COM5"
QString listed(QStringList names) {
    if (names.size() < 2)
        return names.value(0);
    const QString last = names.takeLast();
    return QStringLiteral("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
}

} // namespace

namespace {

QString chosenPortCause(const PortOutcome &p, const QString &chosen) {
    // The user's own words, with the device behind a COM number where it has another name.
    const QString where = chosen.startsWith(QLatin1String("COM")) ? portLabel(p) : chosen;
    if (p.shared)
        return QStringLiteral("%1 is given to --share-com too: it is for other programs, not the radio.")
            .arg(where);
    switch (p.openError) {
    case LineError::None:
        break;
    case LineError::InvalidPortNumber:
        return QStringLiteral("%1 does not exist. Check the name, and that the adapter is plugged in.")
            .arg(where);
    case LineError::PermissionDenied:
        return QStringLiteral("You do not have permission to open %1. Run "
                              "\"sudo usermod -aG dialout $USER\", then log out and in again.")
            .arg(where);
    case LineError::PortInUse:
        return QStringLiteral("%1 is in use by another program. Close that program and start Quillon again.")
            .arg(where);
    case LineError::ConnectionRefused:
        return QStringLiteral("%1 refused the connection: nothing serves that port there. Check that "
                              "ser2net runs on that machine and listens on that port.")
            .arg(where);
    case LineError::HostNotFound:
        return QStringLiteral("Host not found: %1. Check the name, or give the address instead.").arg(where);
    case LineError::ConnectionClosed:
        return QStringLiteral("%1 accepted the connection and closed it at once: the serial server could not "
                              "open the radio's port (check the device in its configuration), or it serves "
                              "another program.")
            .arg(where);
    case LineError::TimedOut:
        return QStringLiteral("Connecting to %1 timed out. Check the address, and that the machine is on "
                              "and reachable from here (the VPN or SSH tunnel up).")
            .arg(where);
    default:
        return QStringLiteral("Quillon could not open %1 (%2).")
            .arg(where, QString::fromLatin1(lineErrorName(p.openError)));
    }
    if (p.answered)
        return QStringLiteral("A device answered on %1, but not as an FT-1000MP.").arg(where);
    return QStringLiteral("Nothing answered on %1. Check that the radio is switched on and its CAT cable "
                          "connected.")
        .arg(where);
}

} // namespace

QString searchFailureCause(const SearchReport &report, const QString &chosen) {
    if (!chosen.isEmpty() && report.size() == 1)
        return chosenPortCause(report.front(), chosen);
    const auto missing = [](const PortOutcome &p) { return p.openError == LineError::InvalidPortNumber; };
    if (std::all_of(report.begin(), report.end(), missing))
        return QStringLiteral("This computer has no serial ports. Connect the radio's CAT cable or "
                              "USB serial adapter before starting Quillon.");
    const auto denied = [](const PortOutcome &p) { return p.openError == LineError::PermissionDenied; };
    if (const QStringList ports = portsWhere(report, denied); !ports.isEmpty())
        return QStringLiteral("You do not have permission to open %1. Run "
                              "\"sudo usermod -aG dialout $USER\", then log out and in again.")
            .arg(listed(ports));
    const auto busy = [](const PortOutcome &p) { return p.openError == LineError::PortInUse; };
    if (const QStringList ports = portsWhere(report, busy); !ports.isEmpty())
        return QStringLiteral("%1 %2 in use by another program. Close that program and start "
                              "Quillon again.")
            .arg(listed(ports), ports.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    const auto answered = [](const PortOutcome &p) { return p.answered; };
    if (const QStringList ports = portsWhere(report, answered); !ports.isEmpty())
        return QStringLiteral("A device answered on %1, but not as an FT-1000MP.").arg(listed(ports));
    const auto shared = [](const PortOutcome &p) { return p.shared; };
    if (const QStringList ports = portsWhere(report, shared); !ports.isEmpty())
        return QStringLiteral("Quillon did not look on %1: given to --share-com, for other programs.")
            .arg(listed(ports));
    return {};
}

} // namespace quillon

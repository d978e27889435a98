// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace quillon {

// The identification exchange, the same wherever the program makes it: the probe, the fixed
// wait (on a network line: until the reply is in, for at most the fixed wait and what the link
// adds), then a read only when exactly the reply's five bytes are waiting.
struct ProbeAnswer {
    LineError sent = LineError::None; // the probe's write
    std::optional<qint16> waiting;    // bytes waiting after the wait; nullopt when not asked or failed
    std::optional<QByteArray> reply;  // what was read, when it was
    bool isRadio() const;
};
ProbeAnswer probeForRadio(SerialLine &line, ReplyWait &wait);

// A line reopens its device by name alone, and another device may have taken the name
// meanwhile (another adapter, a modem): true only when the open device answers the probe as the
// radio did at start-up. Sleeps through the probe's fixed wait.
bool stillTheRadio(SerialLine &line, ReplyWait &wait);

// Tries COM1..COM16 in turn with the ReadFlags probe and stops at the first port whose reply
// identifies the radio. On success the line stays open on PortNum and the result is true;
// every other port that was opened has been closed again. Any failing step on a port means
// "not the radio there" and the search goes on.
// When report is given, it receives what each port did, for telling the user why nothing
// was found; the search itself is the same either way.
struct PortOutcome {
    qint16 port = 0;
    QString device;                        // as the line names it; may be empty
    LineError openError = LineError::None; // why the port could not be opened, if it could not
    bool answered = false;                 // it opened and bytes came back, but not the radio's
    bool shared = false;                   // left alone: it is served to other programs
};
using SearchReport = QList<PortOutcome>;

// The ports the search tries: COM1 to COM16, or only the one the user chose (--port), which
// `chosen` then names as the user wrote it, for the failure's cause.
struct SearchPlan {
    qint16 first = kFirstPort;
    qint16 last = kLastPort;
    QString chosen;
    // Ports served to other programs (--share-com), by portIdentity: never opened nor probed, as
    // a probe there would land in a logger's input.
    QStringList shared;
};

bool searchForRadio(SerialLine &line, ReplyWait &wait, qint16 &PortNum, QByteArray &RxData,
                    SearchReport *report = nullptr, const SearchPlan &plan = {});

// One or two plain sentences on the most likely reason the search failed, or an empty string
// when the report shows none worth telling: no ports at all, then a port the user may not
// open, then one held by another program, then a device that answered but not as the radio.
// For a port the user chose, the one reason it failed, also when it was silent or, for a
// serial server on the network, why the connection failed.
QString searchFailureCause(const SearchReport &report, const QString &chosen = {});

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace quillon {

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
};
using SearchReport = QList<PortOutcome>;

bool searchForRadio(SerialLine &line, ReplyWait &wait, qint16 &PortNum, QByteArray &RxData,
                    SearchReport *report = nullptr);

// One or two plain sentences on the most likely reason the search failed, or an empty string
// when the report shows none worth telling: no ports at all, then a port the user may not
// open, then one held by another program, then a device that answered but not as the radio.
QString searchFailureCause(const SearchReport &report);

} // namespace quillon

#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QByteArray>

namespace quillon {

// Tries COM1..COM16 in turn with the ReadFlags probe and stops at the first port whose reply
// identifies the radio. On success the line stays open on PortNum and the result is true;
// every other port that was opened has been closed again. Any failing step on a port means
// "not the radio there" and the search goes on.
bool SearchForRadio(SerialLine &line, ReplyWait &wait, qint16 &PortNum, QByteArray &RxData);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/replywait.h"
#include "radio/serialline.h"

#include <QByteArray>

namespace quillon {

// One status exchange: discard stale input, write the request byte by byte, mark the time,
// wait the fixed delay, read everything into RxData. Failures are ignored: a failed write is
// skipped, the wait always happens, a failed read leaves RxData as it was. A reply still
// arriving after the wait is late and possibly mixed with an earlier one, and a reply that is
// not exactly one record (16 bytes main, 32 main and sub) has lost or gained bytes: RxData is
// emptied so that no lamp changes on either.
// When the wait ends: after the fixed delay always, or, while the radio is shared with other
// programs, as soon as the whole record is in (the delay stays the upper bound), so that their
// requests wait as little as possible. On a network line (a serial server) the wait always
// ends on the whole record, and is longer by what the line has learned its link adds.
enum class ReplyEnd { AfterWait, OnWholeRecord };

// True when this exchange read a whole record into RxData.
bool exchangeMainStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData,
                        ReplyEnd end = ReplyEnd::AfterWait);
bool exchangeSubStatus(SerialLine &line, ReplyWait &wait, QByteArray &RxData,
                       ReplyEnd end = ReplyEnd::AfterWait);

// Sends FilterSelect built from FilterPath and FilterCode.
LineError SwitchFilters(SerialLine &line, int FilterPath, qint16 FilterCode);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "virtualradio.h"

#include <QString>
#include <QStringView>

namespace quillon::sim {

// The radio's own knobs turned by name while it serves (quillon-radio-sim --control), one
// command a line, in the words of the program's options:
//   freq HZ      main receiver (VFO A), 100 kHz to 30 MHz
//   sub-freq HZ  sub receiver (VFO B)
//   main HEX     main receiver's filter byte
//   sub HEX      sub receiver's filter byte
//   state        changes nothing
// Several may share a line ("freq 7074000 main 22"); the line is applied whole or not at all.
// The answer is the radio's state afterwards in the same words, so that a test can tell when
// its turn took effect and what the radio holds: "freq 14250000 sub-freq 7050000 main 11 sub
// 11"; or "error: ..." when the line is refused.
QString turnKnobs(VirtualRadio &radio, QStringView line);
QString knobState(const VirtualRadio &radio);

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serialline.h"

#include <QByteArray>

#include <array>
#include <cstdint>

namespace quillon {

// Five bytes on the wire: four parameters, then the opcode.
using CommandBlock = std::array<quint8, 5>;

inline constexpr quint8 kOpReadFlags = 0xFA;
inline constexpr quint8 kOpStatusUpdate = 0x10;
inline constexpr quint8 kOpFilterSelect = 0x8C;
inline constexpr quint8 kStatusMain = 0x02;
inline constexpr quint8 kStatusMainAndSub = 0x03;

// Reply layout the program relies on.
inline constexpr int kProbeReplyLength = 5;
inline constexpr quint8 kRadioId0 = 0x03; // byte 3 of the probe reply
inline constexpr quint8 kRadioId1 = 0x93; // byte 4 of the probe reply
inline constexpr int kMainFilterOffset = 8;
inline constexpr int kSubFilterOffset = 24;

CommandBlock probeBlock();
CommandBlock statusBlock(quint8 which);
CommandBlock filterSelectBlock(int FilterPath, qint16 FilterCode);
QByteArray toBytes(const CommandBlock &block);

// Probe: one write of all five bytes.
LineError SendProbe(SerialLine &line);
// Status requests: five one-byte writes in wire order; the first failing write ends the
// block (the bytes after it are not tried) and is reported.
LineError SendStatusMain(SerialLine &line);
LineError SendStatusSub(SerialLine &line);
// Filter select: one write of FilterPath 00 00 FilterCode 8C (each taken as one byte).
LineError SendFilterSelect(SerialLine &line, int FilterPath, qint16 FilterCode);

// True when a probe reply identifies the radio: exactly five bytes ending 03 93.
bool isRadioReply(const QByteArray &reply);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "commandblock.h"

#include "logging.h"

namespace quillon {

CommandBlock probeBlock() { return {0x00, 0x00, 0x00, 0x00, kOpReadFlags}; }

CommandBlock statusBlock(quint8 which) { return {0x00, 0x00, 0x00, which, kOpStatusUpdate}; }

CommandBlock filterSelectBlock(int FilterPath, qint16 FilterCode) {
    // The radio takes one byte per parameter; anything wider keeps only its low byte.
    return {static_cast<quint8>(FilterPath & 0xFF), 0x00, 0x00, static_cast<quint8>(FilterCode & 0xFF),
            kOpFilterSelect};
}

QByteArray toBytes(const CommandBlock &block) {
    return QByteArray(reinterpret_cast<const char *>(block.data()), static_cast<qsizetype>(block.size()));
}

namespace {

LineError sendWhole(SerialLine &line, const CommandBlock &block) {
    const LineError result = line.WriteBytes(toBytes(block));
    if (result != LineError::None)
        qCDebug(lcRadio) << "block" << toBytes(block).toHex(' ') << "not sent:" << lineErrorName(result);
    return result;
}

// The status request goes out one byte per write, as the radio has always been sent it. Once
// a byte has failed the rest of the block is not tried: the radio would take what follows as
// the start of another block, and each further write to a wedged adapter only adds its timeout.
LineError sendByteByByte(SerialLine &line, const CommandBlock &block) {
    for (quint8 byte : block) {
        const LineError result = line.WriteBytes(QByteArray(1, static_cast<char>(byte)));
        if (result != LineError::None) {
            qCDebug(lcRadio) << "block" << toBytes(block).toHex(' ')
                             << "not fully sent:" << lineErrorName(result);
            return result;
        }
    }
    return LineError::None;
}

} // namespace

LineError SendProbe(SerialLine &line) { return sendWhole(line, probeBlock()); }

LineError SendStatusMain(SerialLine &line) { return sendByteByByte(line, statusBlock(kStatusMain)); }

LineError SendStatusSub(SerialLine &line) { return sendByteByByte(line, statusBlock(kStatusMainAndSub)); }

LineError SendFilterSelect(SerialLine &line, int FilterPath, qint16 FilterCode) {
    return sendWhole(line, filterSelectBlock(FilterPath, FilterCode));
}

bool isRadioReply(const QByteArray &reply) {
    return reply.size() == kProbeReplyLength && static_cast<quint8>(reply.at(3)) == kRadioId0 &&
           static_cast<quint8>(reply.at(4)) == kRadioId1;
}

} // namespace quillon

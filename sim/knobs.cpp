// SPDX-License-Identifier: GPL-3.0-or-later
#include "knobs.h"

#include <QStringList>

#include <optional>

namespace quillon::sim {

namespace {

std::optional<quint32> parseHz(const QString &text) {
    bool ok = false;
    const qulonglong hz = text.toULongLong(&ok);
    if (!ok || hz < VirtualRadio::kLowestHz || hz > VirtualRadio::kHighestHz)
        return std::nullopt;
    return static_cast<quint32>(hz);
}

std::optional<quint8> parseByte(const QString &text) {
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok || v > 0xFF)
        return std::nullopt;
    return static_cast<quint8>(v);
}

QString hexByte(quint8 b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')); }

} // namespace

QString knobState(const VirtualRadio &radio) {
    return QStringLiteral("freq %1 sub-freq %2 main %3 sub %4")
        .arg(radio.mainFrequency())
        .arg(radio.subFrequency())
        .arg(hexByte(radio.mainFilterByte()), hexByte(radio.subFilterByte()));
}

QString turnKnobs(VirtualRadio &radio, QStringView line) {
    const QStringList words = line.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    std::optional<quint32> mainHz, subHz;
    std::optional<quint8> mainByte, subByte;
    // Everything is checked before anything is turned, so a bad word leaves the radio as it was.
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &knob = words[i];
        if (knob == QLatin1String("state"))
            continue;
        const bool takesHz = knob == QLatin1String("freq") || knob == QLatin1String("sub-freq");
        const bool takesByte = knob == QLatin1String("main") || knob == QLatin1String("sub");
        if (!takesHz && !takesByte)
            return QStringLiteral("error: unknown knob \"%1\" (freq, sub-freq, main, sub, state)").arg(knob);
        if (i + 1 >= words.size())
            return QStringLiteral("error: %1 needs a value").arg(knob);
        const QString &value = words[++i];
        if (takesHz) {
            const std::optional<quint32> hz = parseHz(value);
            if (!hz)
                return QStringLiteral("error: %1 needs 100000 to 30000000 (Hz), not \"%2\"").arg(knob, value);
            (knob == QLatin1String("freq") ? mainHz : subHz) = hz;
        } else {
            const std::optional<quint8> b = parseByte(value);
            if (!b)
                return QStringLiteral("error: %1 needs a hex byte, not \"%2\"").arg(knob, value);
            (knob == QLatin1String("main") ? mainByte : subByte) = b;
        }
    }
    if (mainHz)
        radio.setMainFrequency(*mainHz);
    if (subHz)
        radio.setSubFrequency(*subHz);
    if (mainByte)
        radio.setMainFilterByte(*mainByte);
    if (subByte)
        radio.setSubFilterByte(*subByte);
    return knobState(radio);
}

} // namespace quillon::sim

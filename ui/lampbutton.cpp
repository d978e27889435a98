// SPDX-License-Identifier: GPL-3.0-or-later
#include "lampbutton.h"

#include <QApplication>
#include <QPainter>

#include <cmath>

namespace quillon {

LampButton::LampButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
    setDefault(false);
    setFlat(false);
}

QColor LampButton::faceColour() const { return palette().color(QPalette::Button); }

void LampButton::setFaceColour(const QColor &colour) {
    if (faceColour() == colour && testAttribute(Qt::WA_SetPalette))
        return;
    QPalette pal = palette();
    pal.setColor(QPalette::Button, colour);
    setPalette(pal);
    update();
}

double LampButton::contrastRatio(const QColor &a, const QColor &b) {
    auto luminance = [](const QColor &c) {
        auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        const QColor rgb = c.toRgb();
        return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LampButton::captionColour() const {
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QColor themeText = palette().color(group, QPalette::ButtonText);
    const QColor face = faceColour();
    if (face == QApplication::palette(this).color(QPalette::Active, QPalette::Button) ||
        contrastRatio(themeText, face) >= kMinCaptionContrast)
        return themeText;
    const QColor black(Qt::black), white(Qt::white);
    return contrastRatio(black, face) >= contrastRatio(white, face) ? black : white;
}

void LampButton::paintEvent(QPaintEvent *) {
    QPainter p(this);
    const QRect r = rect();
    const QPalette &pal = palette();
    p.fillRect(r, faceColour());

    // A classic two-pixel bevel: raised at rest, sunk while pressed.
    const bool down = isDown() || isChecked();
    const QColor outerTopLeft = down ? pal.color(QPalette::Shadow) : pal.color(QPalette::Light);
    const QColor outerBottomRight = down ? pal.color(QPalette::Light) : pal.color(QPalette::Shadow);
    const QColor innerTopLeft = down ? pal.color(QPalette::Dark) : pal.color(QPalette::Midlight);
    const QColor innerBottomRight = down ? pal.color(QPalette::Midlight) : pal.color(QPalette::Dark);
    auto bevel = [&p](QRect box, const QColor &topLeft, const QColor &bottomRight) {
        p.setPen(topLeft);
        p.drawLine(box.topLeft(), box.topRight());
        p.drawLine(box.topLeft(), box.bottomLeft());
        p.setPen(bottomRight);
        p.drawLine(box.bottomLeft(), box.bottomRight());
        p.drawLine(box.topRight(), box.bottomRight());
    };
    bevel(r, outerTopLeft, outerBottomRight);
    bevel(r.adjusted(1, 1, -1, -1), innerTopLeft, innerBottomRight);

    // The caption moves one pixel with the press, as on the classic button.
    p.setPen(captionColour());
    p.setFont(font());
    const QRect textRect = down ? r.translated(1, 1) : r;
    p.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, text());
}

} // namespace quillon

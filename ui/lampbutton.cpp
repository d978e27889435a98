#include "lampbutton.h"

#include <QPainter>

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
    p.setPen(pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.setFont(font());
    const QRect textRect = down ? r.translated(1, 1) : r;
    p.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, text());
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "panelwidgets.h"

#include <QPainter>

namespace quillon {

QFont classicFont(ClassicFace face, bool bold) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setFamilies(
        face == ClassicFace::Arial
            ? QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial")}
            : QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                          QStringLiteral("MS Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

PanelLabel::PanelLabel(const QString &caption, bool border, Qt::Alignment alignment, QWidget *parent)
    : QLabel(caption, parent), m_border(border) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);
    setAlignment(alignment | Qt::AlignVCenter);
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::NoFocus);
    setFrameShape(QFrame::NoFrame);
    // The border is drawn by hand (a QFrame box takes the text colour, white here).
    setContentsMargins(border ? 1 : 0, border ? 1 : 0, border ? 1 : 0, border ? 1 : 0);
}

void PanelLabel::paintEvent(QPaintEvent *event) {
    // The border goes under the caption: a caption as wide as its label (SUB RCVR) reaches the
    // border's pixels, and at screen scales above 1 the border drawn on top cut its first and
    // last strokes.
    if (m_border) {
        QPainter p(this);
        p.setPen(frameColour());
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
    QLabel::paintEvent(event);
}

RoundedFrame::RoundedFrame(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void RoundedFrame::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 1.0));
    p.setBrush(Qt::NoBrush);
    // Half-pixel inset puts the straight edges exactly on the outermost pixel rows and columns.
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
}

} // namespace quillon

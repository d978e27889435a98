// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPushButton>

namespace quillon {

// A filter button whose whole face is its lamp colour. The colour lives in the palette's Button
// role, so the lamp state is the button itself, with no record elsewhere. Painted flat by hand
// because most styles shade or tint a push button's face and would change the colour.
class LampButton final : public QPushButton {
    Q_OBJECT
public:
    explicit LampButton(const QString &caption, QWidget *parent = nullptr);

    QColor faceColour() const;
    void setFaceColour(const QColor &colour);

    // Width of the bevel around the face, in pixels.
    static constexpr int kBorder = 2;

    // Least contrast between a lamp's caption and its face (the WCAG "enhanced" level).
    static constexpr double kMinCaptionContrast = 7.0;
    // WCAG contrast ratio of two colours, from 1 (same luminance) to 21 (black on white).
    static double contrastRatio(const QColor &a, const QColor &b);

    // The caption's colour: the theme's button text on the theme's own face; on a lamp colour
    // the theme's text only if it stays readable there, else black or white, whichever
    // contrasts more (near-white text of a dark theme on the lit green reads at 1.4 : 1).
    QColor captionColour() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace quillon

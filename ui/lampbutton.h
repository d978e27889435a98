// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QKeySequence>
#include <QPushButton>

namespace quillon {

// A filter button whose whole face is its lamp colour. The colour lives in the palette's Button
// role. Painted flat by hand because most styles shade or tint a push button's face and would
// change the colour.
//
// To assistive technology it is a radio button of its group, checked while its lamp is lit, with
// a Press action and its filter key; a lamp that lights or goes out is told as a change of the
// checked state, and a lamp painted again as it was is not told at all.
class LampButton final : public QPushButton {
    Q_OBJECT
public:
    explicit LampButton(const QString &caption, QWidget *parent = nullptr);

    QColor faceColour() const;
    void setFaceColour(const QColor &colour);

    // Paints the face and, when the lamp lit or went out, tells assistive technology.
    void setLamp(bool lit, const QColor &face);
    bool isLit() const { return m_lit; }

    // The key that selects this filter from anywhere in the window, as shown to assistive tools.
    QKeySequence key() const { return m_key; }
    void setKey(const QKeySequence &key) { m_key = key; }

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

signals:
    // The lamp lit or went out.
    void lampChanged(bool lit);
    // Space, Return or Enter on the focused button, or the Press action of assistive technology:
    // a selection made without the mouse, which leaves the focus where it is.
    void selectRequested();
    // An arrow key on the focused button; where it leads is the window's business.
    void arrowPressed(Qt::Key key);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;

private:
    bool m_lit = false;
    QKeySequence m_key;
};

// Tells a screen reader in words which filters came into use, wherever its focus is, even in
// another program: screen readers speak a checked-state change only of the focused button, but a
// notification that appears they speak at once. An unseen widget (placed beyond the window's
// edge), shown afresh with each message; to assistive technology a notification named by it.
class LampNews final : public QWidget {
    Q_OBJECT
public:
    explicit LampNews(QWidget *parent = nullptr);
    void tell(const QString &message);
};

} // namespace quillon

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

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace quillon

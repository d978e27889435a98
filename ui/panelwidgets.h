// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>
#include <QWidget>

namespace quillon {

// The design's faces at 8.25 pt, mapped onto fonts a Linux desktop has: Liberation Sans has
// Arial's metrics, and is also the closest plain face to MS Sans Serif that still fits the
// captions into their twip-sized boxes.
enum class ClassicFace { Arial, MsSansSerif };
QFont classicFont(ClassicFace face, bool bold = false);

// A one-line caption on the black panel: its own black box and white text, optionally edged by
// a one-pixel flat line in the window-frame colour (black), which the panel then hides.
class PanelLabel final : public QLabel {
    Q_OBJECT
public:
    PanelLabel(const QString &caption, bool border, Qt::Alignment alignment, QWidget *parent = nullptr);

    static QColor frameColour() { return Qt::black; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_border;
};

// An unfilled rounded outline, one pixel wide, that lets every click through to what lies below.
class RoundedFrame final : public QWidget {
    Q_OBJECT
public:
    explicit RoundedFrame(QWidget *parent = nullptr);

    static constexpr qreal kCornerRadius = 6.0;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace quillon

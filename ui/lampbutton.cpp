// SPDX-License-Identifier: GPL-3.0-or-later
#include "lampbutton.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>

#include <cmath>

namespace quillon {

namespace {

// A radio button rather than a push button: in each group exactly one filter is in use, and the
// checked state is what screen readers follow and speak when it changes.
class LampAccessible final : public QAccessibleWidget {
public:
    explicit LampAccessible(LampButton *button) : QAccessibleWidget(button, QAccessible::RadioButton) {}

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = lamp()->isLit();
        return s;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Accelerator)
            return lamp()->key().toString(QKeySequence::NativeText);
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &name) override {
        if (name == pressAction())
            emit lamp()->selectRequested();
        else
            QAccessibleWidget::doAction(name);
    }

    QStringList keyBindingsForAction(const QString &name) const override {
        if (name == pressAction() && !lamp()->key().isEmpty())
            return {text(QAccessible::Accelerator)};
        return QAccessibleWidget::keyBindingsForAction(name);
    }

private:
    LampButton *lamp() const { return static_cast<LampButton *>(widget()); }
};

QAccessibleInterface *lampAccessible(const QString &, QObject *object) {
    if (auto *button = qobject_cast<LampButton *>(object))
        return new LampAccessible(button);
    if (auto *news = qobject_cast<LampNews *>(object))
        return new QAccessibleWidget(news, QAccessible::Notification);
    return nullptr;
}

void installLampAccessibles() {
    static const bool installed = (QAccessible::installFactory(lampAccessible), true);
    Q_UNUSED(installed);
}

} // namespace

LampButton::LampButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {
    installLampAccessibles();
    setAutoDefault(false);
    setDefault(false);
    setFlat(false);
    setAccessibleDescription(QStringLiteral("Not in use"));
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

void LampButton::setLamp(bool lit, const QColor &face) {
    setFaceColour(face);
    if (lit == m_lit)
        return;
    m_lit = lit;
    // The description says the same in words; Qt announces every setting of it, so only a change.
    setAccessibleDescription(lit ? QStringLiteral("In use") : QStringLiteral("Not in use"));
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
    emit lampChanged(lit);
#ifdef Q_OS_WIN
    // Qt's UI Automation bridge raises an event for a checked change of check boxes only; for a
    // radio button that becomes selected, clients listen for ElementSelected.
    if (lit) {
        QAccessibleEvent selected(this, QAccessible::SelectionAdd);
        QAccessible::updateAccessibility(&selected);
    }
#endif
}

void LampButton::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    const bool select = key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
    const bool arrow =
        key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right;
    if (!select && !arrow) {
        QPushButton::keyPressEvent(event);
        return;
    }
    // With a modifier these keys mean something else, or nothing, here.
    if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        event->ignore();
        return;
    }
    event->accept();
    if (arrow)
        emit arrowPressed(static_cast<Qt::Key>(key));
    else if (!event->isAutoRepeat()) // a held key repeats; a selection is one press, as it is one click
        emit selectRequested();
}

void LampButton::keyReleaseEvent(QKeyEvent *event) {
    // The press selected already; the button's own handling would click it a second time.
    if (event->key() == Qt::Key_Space) {
        event->accept();
        return;
    }
    QPushButton::keyReleaseEvent(event);
}

LampNews::LampNews(QWidget *parent) : QWidget(parent) {
    installLampAccessibles();
    setFocusPolicy(Qt::NoFocus);
}

void LampNews::tell(const QString &message) {
    setAccessibleName(message);
    // A notification is spoken when it appears.
    hide();
    show();
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

    // The focus mark: the face's outermost pixels in the caption's colour (a stroked QRect covers
    // one pixel more right and down). Only the keyboard brings the focus here (a click hands it
    // back to the window's hidden button), so the mouse user never sees it.
    if (hasFocus())
        p.drawRect(r.adjusted(kBorder, kBorder, -kBorder - 1, -kBorder - 1));
}

} // namespace quillon

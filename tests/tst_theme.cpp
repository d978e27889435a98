// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the user sees it on other desktops: lamp captions readable under light, dark and
// high-contrast palettes, and at screen scales above 1 (CTest runs this binary again with
// QT_SCALE_FACTOR 1.5 and 2) the same proportions with every caption whole inside its control.
// Everything is judged from rendered images.
#include "testrig.h"

#include "filters/filtertable.h"
#include "ui/frmabout.h"
#include "ui/panelwidgets.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QTest>

#include <cmath>

using namespace quillon;
using namespace quillon::testing;

namespace {

// WCAG relative luminance and contrast, computed here rather than taken from the program.
double luminance(const QColor &c) {
    auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor &a, const QColor &b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool near(const QColor &a, const QColor &b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// The device pixels wholly inside a rectangle given in the image's logical pixels.
QRect devicePixels(const QRect &logical, qreal dpr) {
    const int left = int(std::ceil(logical.left() * dpr - 1e-9));
    const int top = int(std::ceil(logical.top() * dpr - 1e-9));
    const int right = int(std::floor((logical.left() + logical.width()) * dpr + 1e-9)) - 1;
    const int bottom = int(std::floor((logical.top() + logical.height()) * dpr + 1e-9)) - 1;
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

// Bounding box of the pixels in `area` that differ from `background`.
QRect inkBox(const QImage &image, const QRect &area, const QColor &background) {
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (!near(QColor(image.pixel(x, y)), background, 24))
                box |= QRect(x, y, 1, 1);
    return box;
}

// The caption drawn alone on a canvas far larger than it, at the same scale: its whole ink.
QSize freeInk(const QString &text, const QFont &font, qreal dpr) {
    QImage canvas(QSize(600, 120) * dpr, QImage::Format_RGB32);
    canvas.setDevicePixelRatio(dpr);
    canvas.fill(Qt::white);
    QPainter p(&canvas);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRect(0, 0, 600, 120), Qt::AlignCenter | Qt::TextSingleLine, text);
    p.end();
    return inkBox(canvas, canvas.rect(), Qt::white).size();
}

QPalette themePalette(const QColor &button, const QColor &buttonText, const QColor &window) {
    QPalette pal(button, window);
    pal.setColor(QPalette::ButtonText, buttonText);
    pal.setColor(QPalette::WindowText, buttonText);
    pal.setColor(QPalette::Text, buttonText);
    return pal;
}

// A window lit as the radio reports: 8.215 MHz 2.4K, 455 kHz 2.0K and sub 2.4K in use.
bool showLit(Rig &rig) {
    rig.radio.setMainFilterByte(0x12);
    rig.radio.setSubFilterByte(0x22);
    if (!rig.window->Form_Load())
        return false;
    rig.window->Timer1_Timer();
    if (!rig.settle())
        return false;
    rig.window->show();
    return QTest::qWaitForWindowExposed(rig.window.get());
}

} // namespace

class tst_Theme : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void shouldKeepLampCaptionsReadable_data();
    void shouldKeepLampCaptionsReadable();
    void shouldKeepProportionsAtScale();
    void shouldShowEveryCaptionWholeAtScale();

private:
    const QPalette m_startPalette = QApplication::palette();
};

void tst_Theme::cleanup() {
    QApplication::setPalette(m_startPalette);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<frmAbout *>(w))
            delete w;
}

void tst_Theme::shouldKeepLampCaptionsReadable_data() {
    QTest::addColumn<QColor>("button");
    QTest::addColumn<QColor>("buttonText");
    QTest::addColumn<QColor>("window");
    QTest::newRow("light") << QColor(0xef, 0xef, 0xef) << QColor(Qt::black) << QColor(0xef, 0xef, 0xef);
    QTest::newRow("dark") << QColor(0x35, 0x35, 0x35) << QColor(Qt::white) << QColor(0x2a, 0x2a, 0x2a);
    QTest::newRow("dark, grey text") << QColor(0x3c, 0x3f, 0x41) << QColor(0xbb, 0xbb, 0xbb)
                                     << QColor(0x2b, 0x2b, 0x2b);
    QTest::newRow("high contrast") << QColor(Qt::black) << QColor(Qt::yellow) << QColor(Qt::black);
}

void tst_Theme::shouldKeepLampCaptionsReadable() {
    QFETCH(QColor, button);
    QFETCH(QColor, buttonText);
    QFETCH(QColor, window);
    QApplication::setPalette(themePalette(button, buttonText, window));
    Rig rig;
    QVERIFY(showLit(rig));
    const QImage shot = rig.window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const qreal dpr = shot.devicePixelRatio();

    int lit = 0, idle = 0;
    for (const FilterButtonInfo &info : filterButtons()) {
        QPushButton *b = rig.window->button(info.id);
        const QRect logicalFace = QRect(b->mapTo(rig.window.get(), QPoint(0, 0)), b->size())
                                      .adjusted(LampButton::kBorder, LampButton::kBorder,
                                                -LampButton::kBorder, -LampButton::kBorder);
        const QRect face = devicePixels(logicalFace, dpr);
        const QColor faceSeen(shot.pixel(face.topLeft()));
        // The caption's strongest ink: the pixel of most contrast to the face.
        QColor ink = faceSeen;
        for (int y = face.top(); y <= face.bottom(); ++y)
            for (int x = face.left(); x <= face.right(); ++x)
                if (const QColor c(shot.pixel(x, y)); contrast(c, faceSeen) > contrast(ink, faceSeen))
                    ink = c;
        const QString what = QStringLiteral("%1: caption %2 on face %3 (%4 : 1)")
                                 .arg(b->objectName(), ink.name(), faceSeen.name())
                                 .arg(contrast(ink, faceSeen), 0, 'f', 2);
        if (rig.lit(info.id)) {
            ++lit;
            QVERIFY2(faceSeen == kLitGreen, qPrintable(what));
            QVERIFY2(contrast(ink, faceSeen) >= 7.0, qPrintable(what));
        } else {
            ++idle;
            // The theme's own face and text colour, untouched.
            QVERIFY2(faceSeen == button, qPrintable(what));
            QVERIFY2(near(ink, buttonText, 40), qPrintable(what));
        }
    }
    QCOMPARE(lit, 3);
    QCOMPARE(idle, 10);
}

void tst_Theme::shouldKeepProportionsAtScale() {
    Rig rig;
    QVERIFY(showLit(rig));
    // The scale this run was started with really applies.
    const bool scaled = qEnvironmentVariableIsSet("QT_SCALE_FACTOR");
    const qreal scale = scaled ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble() : 1.0;
    QCOMPARE(rig.window->devicePixelRatio(), scale);

    // Logical geometry is the design's at every scale; the image is that times the scale.
    QWidget *client = rig.window->centralWidget();
    QCOMPARE(client->size(), QSize(frmQuillon::kClientWidth, frmQuillon::kClientHeight));
    QCOMPARE(rig.window->button(FilterId::Hi_250)->geometry(), QRect(48, 96, 41, 17));
    QCOMPARE(rig.window->button(FilterId::Sub6000)->geometry(), QRect(192, 144, 41, 17));
    const QImage shot = client->grab().toImage();
    QCOMPARE(shot.devicePixelRatio(), scale);
    QVERIFY(std::abs(shot.width() - frmQuillon::kClientWidth * scale) <= 1);
    QVERIFY(std::abs(shot.height() - frmQuillon::kClientHeight * scale) <= 1);

    frmAbout *box = frmAbout::showAbout();
    QVERIFY(QTest::qWaitForWindowExposed(box));
    QCOMPARE(box->size(), QSize(frmAbout::kClientWidth, frmAbout::kClientHeight));
    QCOMPARE(box->grab().toImage().devicePixelRatio(), scale);
}

void tst_Theme::shouldShowEveryCaptionWholeAtScale() {
    Rig rig;
    QVERIFY(showLit(rig));
    frmAbout *box = frmAbout::showAbout();
    QVERIFY(QTest::qWaitForWindowExposed(box));

    int checked = 0;
    for (QWidget *top : {static_cast<QWidget *>(rig.window.get()), static_cast<QWidget *>(box)}) {
        const QImage shot = top->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const qreal dpr = shot.devicePixelRatio();
        for (QWidget *w : top->findChildren<QWidget *>()) {
            auto *label = qobject_cast<QLabel *>(w);
            auto *button = qobject_cast<QPushButton *>(w);
            const QString text = label ? label->text() : button ? button->text() : QString();
            if (text.isEmpty() || !w->isVisible())
                continue;
            const QString name = w->objectName() + QStringLiteral(" \"") + text + QLatin1Char('"');
            // By the font's measure: one line that fits the control's inside.
            const QFontMetrics fm(w->font());
            const QRect inside = w->rect();
            QVERIFY2(fm.horizontalAdvance(text) <= inside.width(),
                     qPrintable(name + QStringLiteral(" %1 in %2, ink %3")
                                           .arg(fm.horizontalAdvance(text))
                                           .arg(inside.width())
                                           .arg(fm.tightBoundingRect(text).width())));
            QVERIFY2(fm.height() <= inside.height(), qPrintable(name));

            // In the image: the ink inside the control is the caption's whole ink, not a cut one.
            // Styled push buttons (the About box's OK, the hidden dummy) are judged by the measure.
            QColor background;
            QRect area;
            const QPoint at = w->mapTo(top, QPoint(0, 0));
            if (auto *lamp = qobject_cast<LampButton *>(w)) {
                background = lamp->faceColour();
                area = QRect(at, w->size())
                           .adjusted(LampButton::kBorder, LampButton::kBorder, -LampButton::kBorder,
                                     -LampButton::kBorder);
            } else if (label) {
                background = qobject_cast<PanelLabel *>(w) ? label->palette().color(QPalette::Window)
                                                           : top->palette().color(QPalette::Window);
                area = inside.translated(at);
            } else {
                continue;
            }
            // One device pixel in from the edge, away from any border line.
            const QRect pixels = devicePixels(area, dpr).adjusted(1, 1, -1, -1);
            const QRect ink = inkBox(shot, pixels, background);
            const QSize whole = freeInk(text, w->font(), dpr);
            const QString detail = QStringLiteral("%1 at scale %2: ink %3x%4 in %5x%6, whole caption %7x%8")
                                       .arg(name)
                                       .arg(dpr)
                                       .arg(ink.width())
                                       .arg(ink.height())
                                       .arg(pixels.width())
                                       .arg(pixels.height())
                                       .arg(whole.width())
                                       .arg(whole.height());
            QVERIFY2(!ink.isEmpty(), qPrintable(detail));
            QVERIFY2(std::abs(ink.width() - whole.width()) <= 2, qPrintable(detail));
            QVERIFY2(std::abs(ink.height() - whole.height()) <= 2, qPrintable(detail));
            ++checked;
        }
    }
    QCOMPARE(checked, 13 + 5 + 4); // lamps, panel labels, About labels
}

QTEST_MAIN(tst_Theme)
#include "tst_theme.moc"

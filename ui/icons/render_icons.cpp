// SPDX-License-Identifier: GPL-3.0-or-later
// Renders quillon.svg into the PNG sizes the program and the desktop use, with Qt's own SVG
// renderer (the one that draws the icon at run time). Build target: quillon-render-icons.
// Usage: quillon-render-icons <dir holding quillon.svg>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <icon directory>\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QSvgRenderer svg(dir + QStringLiteral("/quillon.svg"));
    if (!svg.isValid()) {
        std::fprintf(stderr, "cannot read %s/quillon.svg\n", argv[1]);
        return 1;
    }
    for (int size : {16, 32, 48, 256}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
        p.end();
        const QString out = dir + QStringLiteral("/quillon-%1.png").arg(size);
        if (!image.save(out)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
            return 1;
        }
    }
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "runquillon.h"

#include "appicon.h"
#include "frmquillon.h"

#include <QApplication>

namespace quillon {

int runQuillon(QApplication &app, std::unique_ptr<SerialLine> line, Platform &platform) {
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    // Ties the windows to the menu entry on Wayland (X11 uses the class name "Quillon").
    QApplication::setDesktopFileName(QStringLiteral("io.github.quillon.Quillon"));
    QApplication::setWindowIcon(quillonIcon());
    // An open About box keeps the program running after the main window is closed.
    QApplication::setQuitOnLastWindowClosed(true);

    frmQuillon window(platform, std::move(line));
    if (!window.Form_Load())
        return 1;
    window.showCentred();
    return app.exec();
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "runquillon.h"

#include "appicon.h"
#include "frmquillon.h"
#include "platform.h"

#include "share/radioshare.h"

#include <QApplication>

namespace quillon {

void setApplicationIdentity() {
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    // Ties the windows to the menu entry on Wayland (X11 uses the class name "Quillon").
    QApplication::setDesktopFileName(QStringLiteral("io.github.quillon.Quillon"));
}

int runQuillon(QApplication &app, std::unique_ptr<SerialLine> line, Platform &platform,
               const Options &options) {
    setApplicationIdentity();
    QApplication::setWindowIcon(quillonIcon());
    // An open About box keeps the program running after the main window is closed.
    QApplication::setQuitOnLastWindowClosed(true);

    frmQuillon window(platform, std::move(line));
    window.setSearchPlan(searchPlanFor(options.port));
    if (!window.Form_Load())
        return 1;
    // Only once the radio is found: a client has nothing to talk to before. Declared after the
    // window, so it goes before the window closes the line.
    std::unique_ptr<RadioShare> share;
    if (options.share) {
        share = std::make_unique<RadioShare>(window.lineOwner());
        QString error;
        if (share->start(options.sharePort, true, options.shareLink, &error)) {
            window.setShare(share.get());
        } else {
            share.reset();
            platform.showMessage(QStringLiteral("Quillon couldn't share the radio with other programs"),
                                 QStringLiteral("Quillon"), error);
        }
    }
    window.showCentred();
    const int status = app.exec();
    window.setShare(nullptr);
    return status;
}

} // namespace quillon

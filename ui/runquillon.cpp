// SPDX-License-Identifier: GPL-3.0-or-later
#include "runquillon.h"

#include "appicon.h"
#include "frmquillon.h"
#include "platform.h"

#include "radio/porttable.h"
#include "radio/tcpserialline.h"
#include "share/radioshare.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

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
    SearchPlan plan = searchPlanFor(options.port);
    for (const QString &port : options.shareCom)
        plan.shared << portIdentity(port);
    window.setSearchPlan(plan);
    if (!window.Form_Load())
        return 1;
    // Only once the radio is found: a client has nothing to talk to before. Declared after the
    // window, whose line's owner it uses, so it goes first; the owner is stopped before that.
    std::unique_ptr<RadioShare> share;
    if (options.share) {
        share = std::make_unique<RadioShare>(window.lineOwner());
        share->keepFilters(options.shareKeepFilters);
        QString error;
        if (share->start(options.sharePort, true, options.shareLink, &error)) {
            window.setShare(share.get());
            // Said once, before the window; Quillon goes on without those ports.
            const QList<RadioShare::PortProblem> problems =
                share->serveSerialPorts(options.shareCom, window.serialLine().deviceName());
            if (!problems.isEmpty()) {
                QStringList ports;
                QStringList why;
                for (const RadioShare::PortProblem &problem : problems) {
                    ports << problem.port;
                    why << problem.why;
                }
                why << (problems.size() == 1 ? QStringLiteral("Quillon runs without it.")
                                             : QStringLiteral("Quillon runs without them."));
                platform.showMessage(QStringLiteral("Quillon couldn't share the radio on %1")
                                         .arg(ports.join(QStringLiteral(", "))),
                                     QStringLiteral("Quillon"), why.join(QLatin1Char(' ')));
            }
            // The raw port stays shared whatever becomes of this one.
            QString rigctlError;
            if (options.shareRigctld && !share->startRigctld(*options.shareRigctld, &rigctlError))
                platform.showMessage(QStringLiteral("Quillon couldn't speak rigctld's protocol"),
                                     QStringLiteral("Quillon"),
                                     rigctlError + QStringLiteral(" Quillon shares the radio without it."));
        } else {
            share.reset();
            platform.showMessage(QStringLiteral("Quillon couldn't share the radio with other programs"),
                                 QStringLiteral("Quillon"), error);
        }
    }
    window.showCentred();
    const int status = app.exec();
    window.setShare(nullptr);
    // The loop may end with the window still open (the session ending, say). Stopping the owner
    // first ends its waits at once, so the share's withdrawal never waits for a client's exchange.
    window.Form_Unload();
    return status;
}

int endProgram(int status) {
    // A name lookup an open gave up on may still wait for a name server. It may not run on while
    // the program's statics go: a little more time, then the process ends with it.
    if (!TcpSerialLine::endLookups(TcpSerialLine::kExitLookupLimit)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace quillon

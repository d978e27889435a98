// SPDX-License-Identifier: GPL-3.0-or-later
// Quillon against a radio of your choosing, through its real serial adapter. Without arguments
// the built-in virtual radio is served on a pseudo-terminal and becomes COM1. With arguments,
// the given devices (another simulator's pseudo-terminal, a socat link, a real port) become
// COM1, COM2, ... in that order, and no virtual radio is started. Takes Quillon's options too
// (--share, --port COMn to use only that one of them, and the rest).
#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/portchoice.h"
#include "sim/ptyradioserver.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[]) {
    quillon::Options options;
    // Also takes Qt's own options such as -platform.
    const std::unique_ptr<QApplication> app = quillon::startApplication(argc, argv, true, options);
    QStringList devices = options.devices;
    if (devices.size() > 16) {
        std::fprintf(stderr, "quillon-demo: at most 16 devices (COM1 to COM16)\n");
        return 2;
    }

    // A port of the user's own (a path, a serial server) leaves the demo's table unused.
    const bool ownTable = options.port.kind == quillon::PortChoice::Kind::Search ||
                          options.port.kind == quillon::PortChoice::Kind::Com;
    quillon::sim::PtyRadioServer server;
    if (devices.isEmpty() && ownTable) {
        if (!server.start()) {
            std::fprintf(stderr, "quillon-demo: cannot start the virtual radio: %s\n",
                         qPrintable(server.errorString()));
            return 2;
        }
        devices << server.devicePath();
        std::printf("Virtual FT-1000MP on %s (COM1)\n", qPrintable(devices.front()));
    } else if (ownTable) {
        for (int i = 0; i < devices.size(); ++i)
            std::printf("COM%d is %s\n", i + 1, qPrintable(devices.at(i)));
    }
    std::fflush(stdout);

    quillon::DesktopPlatform platform;
    const int status = quillon::runQuillon(
        *app, quillon::lineFor(options.port, [&] { return quillon::PortTable(devices); }), platform, options);
    server.stop();
    return quillon::endProgram(status);
}

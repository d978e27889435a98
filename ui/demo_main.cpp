// SPDX-License-Identifier: GPL-3.0-or-later
// Quillon against a radio of your choosing, through its real serial adapter. Without arguments
// the built-in virtual radio is served on a pseudo-terminal and becomes COM1. With arguments,
// the given devices (another simulator's pseudo-terminal, a socat link, a real port) become
// COM1, COM2, ... in that order, and no virtual radio is started.
#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/porttable.h"
#include "radio/qtserialline.h"
#include "sim/ptyradioserver.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "Usage: quillon-demo [DEVICE...]\n"
                      "Starts Quillon with the built-in virtual radio on a pseudo-terminal as COM1,\n"
                      "or, given up to 16 devices, with those devices as COM1, COM2, ... in order.\n";

} // namespace

int main(int argc, char *argv[]) {
    QStringList devices;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argv[i][0] == '-' && std::strncmp(argv[i], "-platform", 9) != 0) {
            std::fprintf(stderr, "quillon-demo: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    QApplication app(argc, argv); // takes Qt's own options such as -platform
    for (int i = 1; i < argc; ++i)
        devices << QString::fromLocal8Bit(argv[i]);
    if (devices.size() > 16) {
        std::fprintf(stderr, "quillon-demo: at most 16 devices (COM1 to COM16)\n");
        return 2;
    }

    quillon::sim::PtyRadioServer server;
    if (devices.isEmpty()) {
        if (!server.start()) {
            std::fprintf(stderr, "quillon-demo: cannot start the virtual radio: %s\n",
                         qPrintable(server.errorString()));
            return 2;
        }
        devices << server.devicePath();
        std::printf("Virtual FT-1000MP on %s (COM1)\n", qPrintable(devices.front()));
    } else {
        for (int i = 0; i < devices.size(); ++i)
            std::printf("COM%d is %s\n", i + 1, qPrintable(devices.at(i)));
    }
    std::fflush(stdout);

    quillon::DesktopPlatform platform;
    const int status = quillon::runQuillon(
        app, std::make_unique<quillon::QtSerialLine>(quillon::PortTable(devices)), platform);
    server.stop();
    return status;
}

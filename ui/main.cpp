// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/portchoice.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    quillon::Options options;
    const std::unique_ptr<QApplication> app = quillon::startApplication(argc, argv, false, options);
    quillon::DesktopPlatform platform;
    // The system's port table is made only when a search or a COM number needs it.
    auto line = quillon::lineFor(options.port, [] { return quillon::PortTable::fromSystem(); });
    return quillon::endProgram(quillon::runQuillon(*app, std::move(line), platform, options));
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/porttable.h"
#if defined(Q_OS_WIN)
#include "radio/win32serialline.h"
#else
#include "radio/qtserialline.h"
#endif

#include <QApplication>

int main(int argc, char *argv[]) {
    quillon::setApplicationIdentity();
    quillon::answerHelpAndVersion(argc, argv, false);
    QApplication app(argc, argv);
    const quillon::Options options = quillon::parseOptions(app.arguments(), false);
    quillon::DesktopPlatform platform;
#if defined(Q_OS_WIN)
    auto line = std::make_unique<quillon::Win32SerialLine>();
#else
    auto line = std::make_unique<quillon::QtSerialLine>(quillon::PortTable::fromSystem());
#endif
    return quillon::runQuillon(app, std::move(line), platform, options);
}

// Quillon against the virtual radio: the radio is served on a pseudo-terminal and the program
// reaches it through its real serial adapter, as COM1 of a port table holding only that device.
#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/porttable.h"
#include "radio/qtserialline.h"
#include "sim/ptyradioserver.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    quillon::sim::PtyRadioServer server;
    if (!server.start()) {
        std::fprintf(stderr, "quillon-demo: cannot start the virtual radio: %s\n",
                     qPrintable(server.errorString()));
        return 2;
    }
    const QString path = server.devicePath();
    std::printf("Virtual FT-1000MP on %s (COM1)\n", qPrintable(path));
    std::fflush(stdout);

    quillon::DesktopPlatform platform;
    const int status = quillon::runQuillon(
        app, std::make_unique<quillon::QtSerialLine>(quillon::PortTable(QStringList{path})), platform);
    server.stop();
    return status;
}

#include "desktopplatform.h"
#include "runquillon.h"

#include "radio/porttable.h"
#include "radio/qtserialline.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    quillon::DesktopPlatform platform;
    return quillon::runQuillon(app, std::make_unique<quillon::QtSerialLine>(quillon::PortTable::fromSystem()),
                               platform);
}

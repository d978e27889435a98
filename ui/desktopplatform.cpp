// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopplatform.h"

#include "helpviewer.h"

#include <QApplication>
#include <QMessageBox>

namespace quillon {

void DesktopPlatform::beep() { QApplication::beep(); }

void DesktopPlatform::showMessage(const QString &text, const QString &caption, const QString &detail) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("quillonMessage"));
    box.setInformativeText(detail);
    box.exec();
}

void DesktopPlatform::showHelp(const QString &helpFile, int helpCommand) {
    HelpViewer::showHelp(helpFile, helpCommand, HelpViewer::defaultSearchPath());
}

MonotonicClock &DesktopPlatform::clock() { return SystemClock::instance(); }

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/portchoice.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace quillon {

// What the command line asks for. Without options Quillon searches COM1 to COM16 and keeps the
// radio to itself.
struct Options {
    bool share = false;
    quint16 sharePort = 0;               // set by parseOptions: the default port unless --share-port
    QString shareLink;                   // empty: the default link
    std::optional<quint16> shareRigctld; // --share-rigctld: rigctld's protocol on this port
    bool shareKeepFilters = false;       // --share-keep-filters: no program selects a filter
    QStringList shareCom; // --share-com: serial ports served to other programs (absolute paths on Unix)
    QStringList devices;  // quillon-demo only: devices to use as COM1, COM2, ...
    PortChoice port;      // --port: the one port to try instead of the search
};

// Answers --help and --version and ends the process; returns when neither is asked. Runs before
// the application object, so that it needs no display.
void answerHelpAndVersion(int argc, char *argv[], bool takesDevices);

// Parses the arguments left after Qt took its own (QCoreApplication::arguments()). Mistakes are
// said on the console (in a box on Windows) and end the process with status 2.
Options parseOptions(const QStringList &arguments, bool takesDevices);

} // namespace quillon

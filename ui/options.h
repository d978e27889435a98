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

// The command line as main() got it, less Qt's own options (-platform NAME, -style NAME and the
// like), which the application object takes later; so that it can be read before there is one.
QStringList withoutQtOptions(int argc, char *argv[]);

// Parses the arguments without Qt's own (withoutQtOptions(), or QCoreApplication::arguments()).
// takesDevices: quillon-demo's command line, with its own help. --help and --version are answered
// on standard output and end the process with status 0; mistakes are said on the console (in a
// box on Windows) and end it with status 2. Needs no application object, except on Windows.
Options parseOptions(const QStringList &arguments, bool takesDevices);

// What --help prints, for the program named in arguments.first().
QString helpText(const QString &program, bool takesDevices);

} // namespace quillon

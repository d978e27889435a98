// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options.h"

#include "radio/serialline.h"

#include <memory>

class QApplication;

namespace quillon {

class Platform;

// Name, version and desktop entry of the program, for --version and the windows.
void setApplicationIdentity();

// Reads the command line into options, then makes the application object. On Unix the command
// line is read first, so that a mistake, --help and --version need no display, and a start with
// no display (or one that cannot be reached) ends with one line and status kNoDisplayStatus
// rather than Qt's abort.
std::unique_ptr<QApplication> startApplication(int &argc, char *argv[], bool takesDevices, Options &options);

// The exit status of a start with no graphical desktop to show the window on.
inline constexpr int kNoDisplayStatus = 3;

// The start-up both programs share: search for the radio (only where options.port says, when it
// says), then show the main window (sharing
// the radio when the options ask for it) and run until the last window closes. Returns the
// process exit status (1 when no radio was found).
int runQuillon(QApplication &app, std::unique_ptr<SerialLine> line, Platform &platform,
               const Options &options = {});

// The last step of main(): returns status once nothing the program started still runs; should a
// name lookup outlast a short wait, the process ends there with status.
int endProgram(int status);

} // namespace quillon

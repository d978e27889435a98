// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/serialline.h"

#include <memory>

class QApplication;

namespace quillon {

class Platform;

// The start-up both programs share: search for the radio, then show the main window and run
// until the last window closes. Returns the process exit status (1 when no radio was found).
int runQuillon(QApplication &app, std::unique_ptr<SerialLine> line, Platform &platform);

} // namespace quillon

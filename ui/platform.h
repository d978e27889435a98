// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/replywait.h"

#include <QString>

class QWidget;

namespace quillon {

// Everything the window reaches outside the program besides the serial line. The real
// program uses DesktopPlatform; tests put in their own to count beeps and messages.
class Platform {
public:
    virtual ~Platform() = default;
    virtual void beep() = 0;
    // Modal message with an OK button only and no icon; detail, when given, stands under the
    // text in plainer words.
    virtual void showMessage(const QString &text, const QString &caption, const QString &detail = {}) = 0;
    // Shows helpFile at the given help command (3 = contents) in the help viewer.
    virtual void showHelp(const QString &helpFile, int helpCommand) = 0;
    virtual MonotonicClock &clock() = 0;
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform.h"

namespace quillon {

// The real desktop: the system beep, a plain message box, our own help viewer, the steady clock.
class DesktopPlatform final : public Platform {
public:
    void beep() override;
    void showMessage(const QString &text, const QString &caption, const QString &detail) override;
    void showHelp(const QString &helpFile, int helpCommand) override;
    MonotonicClock &clock() override;
};

} // namespace quillon

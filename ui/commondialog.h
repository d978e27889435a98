// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QtGlobal>

namespace quillon {

class Platform;

// The help command that opens a help file at its contents topic.
inline constexpr qint16 kHelpContents = 3;

// The main window's help seam: set HelpFile and HelpCommand, then ShowHelp hands both to the
// platform's help viewer and returns without waiting for it.
class CommonDialog {
public:
    explicit CommonDialog(Platform &platform) : m_platform(platform) {}

    QString HelpFile;
    qint16 HelpCommand = 0;

    void ShowHelp();

private:
    Platform &m_platform;
};

} // namespace quillon

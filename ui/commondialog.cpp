// SPDX-License-Identifier: GPL-3.0-or-later
#include "commondialog.h"

#include "platform.h"

namespace quillon {

void CommonDialog::ShowHelp() { m_platform.showHelp(HelpFile, HelpCommand); }

} // namespace quillon

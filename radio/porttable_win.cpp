// SPDX-License-Identifier: GPL-3.0-or-later
#include "porttable.h"

namespace quillon {

// Windows names its ports COM1, COM2, ... itself, so there is nothing to order or look up.
PortTable PortTable::fromSystem() { return identity(); }

// Windows lists no placeholder ports: whatever opens as COMn is real.
bool portHasUart(const QString &) { return true; }

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "appicon.h"

// Resources of a static library must be registered by hand, from outside any namespace.
static void initQuillonResources() { Q_INIT_RESOURCE(quillon); }

namespace quillon {

QIcon quillonIcon() {
    static const QIcon icon = [] {
        initQuillonResources();
        QIcon i;
        for (int size : {16, 32, 48, 256})
            i.addFile(QStringLiteral(":/quillon/icons/quillon-%1.png").arg(size), QSize(size, size));
        return i;
    }();
    return icon;
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Who connects, who is refused and what is not passed on: worth seeing by default.
Q_DECLARE_LOGGING_CATEGORY(lcShare)

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Silent by default; enable with QT_LOGGING_RULES="quillon.*.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcRadio)
Q_DECLARE_LOGGING_CATEGORY(lcFilters)

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small helpers shared by the tests, with no dependence on the user interface.
#include <QByteArray>

namespace quillon::testing {

// Bytes written as hex digits, so that a table row reads like the wire: hex("00000000fa").
inline QByteArray hex(const char *digits) { return QByteArray::fromHex(digits); }

} // namespace quillon::testing

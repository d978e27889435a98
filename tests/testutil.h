// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small helpers shared by the tests, with no dependence on the user interface.
#include "radio/serialline.h"

#include <QByteArray>

#include <chrono>
#include <thread>

namespace quillon::testing {

// Bytes written as hex digits, so that a table row reads like the wire: hex("00000000fa").
inline QByteArray hex(const char *digits) { return QByteArray::fromHex(digits); }

// Reads from the line until `count` bytes have come or the (generous) deadline passes.
inline QByteArray readUntil(SerialLine &line, int count,
                            std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    QByteArray got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        const std::optional<QByteArray> more = line.ReadAll();
        if (!more)
            break;
        got += *more;
        if (got.size() < count)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
}

} // namespace quillon::testing

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "virtualradio.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quillon::sim {

// Serves the virtual radio on a pseudo-terminal, on a thread of its own, so that the program's
// real serial adapter can talk to it. Requests reach the radio, and replies leave it, at
// 4800 baud's pace.
class PtyRadioServer {
public:
    struct WireBlock {
        // When the block's last byte was in at the radio: it reads what the program wrote
        // only at the wire's pace.
        std::chrono::steady_clock::time_point when;
        CommandBlock block;
    };

    PtyRadioServer();
    ~PtyRadioServer();
    PtyRadioServer(const PtyRadioServer &) = delete;
    PtyRadioServer &operator=(const PtyRadioServer &) = delete;

    // Opens the pseudo-terminal and starts serving; false (with errorString()) on failure.
    bool start();
    void stop();
    // The far side of the cable is pulled: the master side closes, the device path stays.
    void unplug();
    QString devicePath() const;
    QString errorString() const;

    // Runs f on the model under the server's lock (to set state or faults, or to read them).
    void withRadio(const std::function<void(VirtualRadio &)> &f);
    // Reply bytes leave in chunks every `period`, as from a USB adapter (0: byte by byte).
    void setChunkPeriod(std::chrono::microseconds period);
    // The program's writes stop going out (a wedged adapter), or flow again.
    void setOutputWedged(bool wedged);
    // Sends bytes nobody asked for, at once (floods, stray bytes).
    void sendUnsolicited(const QByteArray &bytes);
    std::vector<WireBlock> receivedBlocks() const;
    // Every byte read from the program, unframed, in order.
    QByteArray receivedBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quillon::sim

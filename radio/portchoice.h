// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "discovery.h"
#include "porttable.h"
#include "serialline.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quillon {

// Where the radio is, when the user says so (quillon --port WHERE). Without it Quillon searches
// COM1 to COM16.
struct PortChoice {
    enum class Kind { Search, Com, Device, Network };
    Kind kind = Kind::Search;
    qint16 com = 0;      // Com: COM n
    QString device;      // Device: the path
    QString host;        // Network: a name or an address (an IPv6 one without brackets)
    quint16 tcpPort = 0; // Network
    QString text;        // as the user wrote it, for messages
};

// Reads WHERE: "COMn" (n from 1 to 256, any case), a device path (not on Windows: one starting
// with '/', which may hold colons as /dev/serial/by-path names do), or "host:port" with the
// host a name or an address, an IPv6 one in brackets ("[::1]:3001"). nullopt, with the
// reason in *error, for anything else.
std::optional<PortChoice> parsePortChoice(const QString &where, QString *error);

// The ports the search tries for the choice: all of COM1 to COM16, or only the chosen one.
SearchPlan searchPlanFor(const PortChoice &choice);

// The line the search runs on: the TCP line for a serial server; otherwise the system's serial
// line, on the port table systemTable makes (Unix; a table of the one device for a path).
std::unique_ptr<SerialLine> lineFor(const PortChoice &choice, const std::function<PortTable()> &systemTable);

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "linkdelay.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>

#include <chrono>

struct addrinfo;

namespace quillon {

// The line to a radio whose serial port a server on the network passes on as raw bytes
// (ser2net in raw mode, say), reached as host:port. The server owns the port and its
// settings, so there is nothing to set here, and bytes pass unchanged both ways. Works without
// an event loop, on the system's own sockets (no Qt object needs the owner's thread to run
// one): writes go out at once, counts and reads first take in what the system holds.
//
// Opening looks the name up and connects, both together within kConnectLimit. A connection that
// drops while open is handled like an unplugged adapter: the line is lost (open, with failing
// I/O) until reopen() has connected to the same address again; each try goes on by itself.
class TcpSerialLine final : public SerialLine {
public:
    // How a name is looked up, in getaddrinfo's own shape (and what it finds is freed with
    // freeaddrinfo): the system's unless a test gives one that does not answer.
    using Resolver = int (*)(const char *host, const char *service, const addrinfo *hints, addrinfo **found);

    TcpSerialLine(QString host, quint16 port, Resolver resolver = nullptr);
    ~TcpSerialLine() override;
    TcpSerialLine(const TcpSerialLine &) = delete;
    TcpSerialLine &operator=(const TcpSerialLine &) = delete;

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) override;
    // "host:port", "[::1]:port"
    QString deviceName() const override;
    // Kept across reconnections: the route to the server seldom changes, and missed replies
    // make it grow again when it does.
    LinkDelay *linkDelay() override { return &m_linkDelay; }

    bool isLost() const override { return m_lost; }
    LineError reopen() override;
    bool reopening() const override { return m_connecting >= 0; }
    void letGo() override;
    std::chrono::milliseconds reopenInterval() const override { return kLookInterval; }

    // A lookup still running when its open gave up goes on by itself; this waits at most
    // `bound` for every such lookup to end and joins its thread. False when one still runs:
    // the program must then end without running its static destructors under it.
    static bool endLookups(std::chrono::milliseconds bound);

    // Name lookup and connection at start, and each try to connect again.
    static constexpr std::chrono::milliseconds kConnectLimit{5000};
    // The shortest time between two tries to connect again: a remote link may be down a while.
    static constexpr std::chrono::milliseconds kLookInterval{1000};
    // How long a write may take to leave before the connection is given up.
    static constexpr std::chrono::milliseconds kWriteLimit{100};
    // How long a lookup left running may still hold the program's end.
    static constexpr std::chrono::milliseconds kExitLookupLimit{2000};

private:
    using Clock = std::chrono::steady_clock;
    // The far end closed or broke the connection, or this side gave it up.
    enum class Loss { FarEnd, GivenUp };
    void takeIn();
    void lose(const char *why, Loss loss);
    void closeConnection(bool discardUnsent);
    void setUpConnection();
    bool dropUnasked(Clock::duration connecting);
    void dropConnecting();
    bool connected() const { return m_socket >= 0; }

    QString m_host;
    quint16 m_port;
    Resolver m_resolver;
    [[maybe_unused]] bool m_winsock = false; // Windows: this line's use of the socket library began
    QByteArray m_address;  // where the name led when the line opened (a sockaddr); reconnects go there
    QString m_addressText; // the same for the log
    qintptr m_socket = -1; // the connection; -1 while there is none
    QByteArray m_input;    // taken in from the system, not yet read; at most kInputBufferSize
    bool m_open = false;   // from a successful OpenPort to ClosePort, whatever the connection does
    bool m_lost = false;
    qintptr m_connecting = -1; // a socket connecting again, not yet the line's
    Clock::time_point m_connectStart{};
    LinkDelay m_linkDelay;
};

} // namespace quillon

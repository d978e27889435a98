// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "linkdelay.h"
#include "serialline.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <chrono>

namespace quillon {

// The line to a radio whose serial port a server on the network passes on as raw bytes
// (ser2net in raw mode, say), reached as host:port. The server owns the port and its
// settings, so there is nothing to set here, and bytes pass unchanged both ways. Works without
// an event loop, as the serial lines do: writes go out at once, counts and reads first take in
// what the system holds.
//
// Opening looks the name up and connects, both together within kConnectLimit. A connection that
// drops while open is handled like an unplugged adapter: the line is lost (open, with failing
// I/O) until reopen() has connected to the same address again; each try goes on by itself.
class TcpSerialLine final : public SerialLine {
public:
    TcpSerialLine(QString host, quint16 port);
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
    void moveToThread(QThread *thread) override;

    // Name lookup and connection at start, and each try to connect again.
    static constexpr std::chrono::milliseconds kConnectLimit{5000};
    // The shortest time between two tries to connect again: a remote link may be down a while.
    static constexpr std::chrono::milliseconds kLookInterval{1000};
    // How long a write may take to leave before the connection is given up.
    static constexpr std::chrono::milliseconds kWriteLimit{100};

private:
    void takeIn();
    void lose(const char *why);
    using Clock = std::chrono::steady_clock;
    void setUpConnection();
    void dropUnasked(Clock::duration connecting);
    void dropConnecting();
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

    QString m_host;
    quint16 m_port;
    QHostAddress m_address; // where the name led when the line opened; reconnects go there
    QTcpSocket m_socket;
    bool m_open = false; // from a successful OpenPort to ClosePort, whatever the connection does
    bool m_lost = false;
    qintptr m_connecting = -1; // a socket connecting again, not yet the line's
    Clock::time_point m_connectStart{};
    LinkDelay m_linkDelay;
};

} // namespace quillon

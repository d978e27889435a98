// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sharehub.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QTcpServer;

namespace quillon {

class PtyShareClient;

// The TCP port the radio is shared on unless told otherwise: the radio's own baud rate, and
// clear of rigctld's 4532 and flrig's 12345, which speak other protocols.
inline constexpr quint16 kDefaultSharePort = 4800;

// Shares the radio's line with other programs: a TCP port on the loopback addresses only, and
// on Linux a pseudo-terminal with a fixed link. Each client gets the radio's own byte stream;
// ShareHub keeps their exchanges and the window's apart.
class RadioShare final : public QObject {
    Q_OBJECT
public:
    RadioShare(SerialLine &line, MonotonicClock &clock, QObject *parent = nullptr);
    ~RadioShare() override;

    // Listens on 127.0.0.1 and ::1 (or 127.0.0.1 alone on a machine without IPv6) at port (0: any
    // free port), and with withPty also serves the pseudo-terminal at ptyLink (empty:
    // defaultPtyLink()). False with error set, and nothing served, when the TCP port cannot be
    // had on both addresses.
    bool start(quint16 port, bool withPty, const QString &ptyLink, QString *error);
    quint16 port() const;
    // The link to the pseudo-terminal, empty when there is none.
    QString ptyLink() const;
    static QString defaultPtyLink();

    // The window calls this before each of its own exchanges, so a client's block waits at most
    // for one of them.
    void serveWaiting();
    ShareHub &hub() { return m_hub; }

private:
    bool listenOnLoopback(quint16 port, QString *error);
    void acceptConnections(QTcpServer *server);
    void clientGone(ShareClient *client, QObject *object);
    void scheduleServe();
    void serve();

    ShareHub m_hub;
    std::vector<QTcpServer *> m_servers;
    std::unique_ptr<PtyShareClient> m_pty;
    QTimer m_serveSoon;
};

} // namespace quillon

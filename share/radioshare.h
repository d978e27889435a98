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
class SerialShareClient;

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

    // Listens on 127.0.0.1 and ::1 (where the system has it) at port (0: any free port), and
    // with withPty also serves the pseudo-terminal at ptyLink (empty: defaultPtyLink()).
    // False with error set when the TCP port cannot be had.
    bool start(quint16 port, bool withPty, const QString &ptyLink, QString *error);
    quint16 port() const;
    // The link to the pseudo-terminal, empty when there is none.
    QString ptyLink() const;
    static QString defaultPtyLink();

    // A port given to --share-com that is not served, and why, in a sentence that names it.
    struct PortProblem {
        QString port;
        QString why;
    };
    // Serves each of ports (COMn on Windows, a device path elsewhere) as one more client, through
    // the same door as the TCP clients, except the radio's own port (radioDevice, as the radio's
    // line names it), which is never opened twice. A port named twice is served once. Returns
    // the ports that could not be served; the others are served regardless.
    QList<PortProblem> serveSerialPorts(const QStringList &ports, const QString &radioDevice);

    // The window calls this before each of its own exchanges, so a client's block waits at most
    // for one of them.
    void serveWaiting();
    ShareHub &hub() { return m_hub; }

private:
    void acceptConnections(QTcpServer *server);
    void clientGone(ShareClient *client, QObject *object);
    void scheduleServe();
    void serve();

    ShareHub m_hub;
    std::vector<QTcpServer *> m_servers;
    std::unique_ptr<PtyShareClient> m_pty;
    std::vector<std::unique_ptr<SerialShareClient>> m_serialPorts;
    QTimer m_serveSoon;
};

} // namespace quillon

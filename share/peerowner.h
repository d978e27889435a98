// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

#include <optional>
#include <vector>

namespace quillon {

// Who owns a socket at the other end of a loopback connection, or a listening one, as far as the
// system tells: on Linux the kernel's socket tables give the owner's uid, and /proc/<pid>/fd the
// process, when it is the user's own (or Quillon runs as root). Elsewhere nothing is known.
struct PeerOwner {
    std::optional<uint> uid;
    qint64 pid = 0;  // 0: not known
    QString program; // empty: not known
};

// The other end of the TCP connection from local to peer.
PeerOwner loopbackPeerOwner(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local,
                            quint16 localPort);
// Who listens on address:port, or on the wildcard address at that port.
PeerOwner portHolder(const QHostAddress &address, quint16 port);

// Whether the radio is this client's to use: the user's own programs and root's (who can open the
// radio's port anyway). On Linux an owner that cannot be found is refused; elsewhere, where the
// system does not tell, everyone is let in.
bool mayUseRadio(const PeerOwner &owner);
// The user Quillon runs as (Linux).
std::optional<uint> ownUid();
// "rigctl, pid 4242", or empty when the process is not known.
QString describeProcess(const PeerOwner &owner);
// "bob (uid 1001)", or "an unknown user".
QString describeUser(const PeerOwner &owner);

// One row of /proc/net/tcp or /proc/net/tcp6.
struct SocketRow {
    QHostAddress local;
    quint16 localPort = 0;
    QHostAddress remote;
    quint16 remotePort = 0;
    int state = 0; // 0x0A: listening
    uint uid = 0;
    quint64 inode = 0;
};
std::vector<SocketRow> parseSocketTable(QByteArrayView text);

} // namespace quillon

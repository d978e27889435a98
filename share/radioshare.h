// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replystore.h"
#include "rigctlsession.h"
#include "sharehub.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;

namespace quillon {

class LineOwner;
class PtyShareClient;
class SerialShareClient;
class TcpShareClient;
struct PeerOwner;

// The TCP port the radio is shared on unless told otherwise: the radio's own baud rate, and
// clear of rigctld's 4532 and flrig's 12345, which speak other protocols.
inline constexpr quint16 kDefaultSharePort = 4800;
// The port rigctld listens on by default, which the programs that speak its protocol try first.
inline constexpr quint16 kRigctldPort = 4532;

// Shares the radio's line with other programs: a TCP port on the loopback addresses only, and
// on Linux a pseudo-terminal with a fixed link. Each client gets the radio's own byte stream.
// The clients live here, on the window's thread; what they send goes to the line's owner, whose
// ShareHub puts their blocks on the wire when none of the window's own exchanges waits, and
// their replies come back here.
class RadioShare final : public QObject {
    Q_OBJECT
public:
    explicit RadioShare(LineOwner &owner, QObject *parent = nullptr);
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
    // The session's folder for such links: $XDG_RUNTIME_DIR, or the one Qt falls back to when
    // the session has none. Unix only.
    static QString runtimeFolder();

    // Also speaks rigctld's network protocol on 127.0.0.1 and ::1 at port (0: any free port), as
    // Hamlib's rigctld would for the radio (model 1004), through the same hub, door and reply
    // store as the raw port. False with error set when the port cannot be had on both addresses.
    bool startRigctld(quint16 port, QString *error);
    quint16 rigctldPort() const;
    // Filter selects from every client, on every port and in rigctld's M, are dropped (one log
    // line per client); the window's own buttons still select. Before start(), or any time.
    void keepFilters(bool keep);

    int clientCount() const { return int(m_mailboxes.size()); }
    // Fresh replies to the radio's reads, for the clients; the window's own polls fill it too.
    const std::shared_ptr<ReplyStore> &store() const { return m_store; }
    // Reads answered from the store as they came in, without waiting for the line's owner.
    int answeredAtOnce() const { return m_answeredAtOnce; }
    // The most of one client's input taken in and waiting for the line's owner at any moment
    // (at most ShareHub::kMaxHeldInput), and how much of all clients' input was taken in.
    qsizetype mostInputHeld() const { return m_mostInputHeld; }
    qint64 inputTaken() const { return m_inputTaken; }
    // A client's blocks one turn of the window's event loop reads at most; the rest wait for
    // the next turn, so that a flood of them never holds the window.
    static constexpr int kBlocksPerTurn = 64;

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

private:
    class Mailbox;
    bool listenOnLoopback(quint16 port, std::vector<QTcpServer *> &servers, const char *option,
                          QString *error);
    void acceptConnections(QTcpServer *server);
    void acceptRigctlConnections(QTcpServer *server);
    // Looks up the connection's owner off this thread; raw null: a rigctl connection, whose
    // session is made once it is admitted.
    void lookUpOwner(QTcpSocket *socket, TcpShareClient *raw);
    // A connection whose owner has been found: served if the radio is its owner's to use.
    void admitConnection(quint64 pending, const PeerOwner &owner);
    void admitRigctl(QTcpSocket *socket, const PeerOwner &owner);
    // True (and logged) when the connection's owner is not this user.
    bool refusedFor(const PeerOwner &owner, const QString &name);
    // Hands a client to the hub; false when kMaxClients are already there.
    bool attach(ShareSource *client);
    // Takes in what the client sent, as much as its mailbox has room for and at most
    // kBlocksPerTurn blocks; leaves the rest with the system, and comes back for it once the
    // owner has taken the mailbox's bytes, or in the next turn.
    void takeFrom(ShareSource *client);
    // takeFrom in a later turn of the event loop; once, however often asked.
    void takeLater(quint64 mailbox);
    // The reads at the front of `bytes` that ShareHub's rule settles without the radio, while
    // nothing of the client's waits before them: superseded ones dropped, the last one's fresh
    // reply (if any) put in *reply. Returns the rest, for the hub.
    QByteArray answerAtOnce(QByteArray bytes, QByteArray *reply);
    void clientGone(ShareSource *client, QObject *object);
    ShareSource *clientOf(quint64 mailbox) const;
    void deliverTo(quint64 mailbox, const QByteArray &bytes);
    // A connection the door refused: closed, and forgotten.
    void cutOff(quint64 mailbox);

    LineOwner &m_owner;
    std::shared_ptr<ReplyStore> m_store = std::make_shared<ReplyStore>();
    int m_answeredAtOnce = 0;
    qsizetype m_mostInputHeld = 0;
    qint64 m_inputTaken = 0;
    // Used on the owner's thread only, from the jobs and the client work given to it.
    std::shared_ptr<ShareHub> m_hub;
    std::map<ShareSource *, std::shared_ptr<Mailbox>> m_mailboxes;
    quint64 m_lastMailbox = 0;
    std::vector<QTcpServer *> m_servers;
    std::vector<QTcpServer *> m_rigctlServers;
    rigctlproto::RigState m_rigState; // one radio: rigctld keeps one state for all its clients
    // Connections whose owner is being looked up, off this thread: it reads the system's socket
    // tables and every process's descriptors, milliseconds or tens of them on a busy machine.
    struct Pending {
        QTcpSocket *socket = nullptr;
        TcpShareClient *raw = nullptr; // null: a rigctl connection
    };
    QThreadPool m_lookups;
    std::map<quint64, Pending> m_pending;
    quint64 m_lastPending = 0;
    std::unique_ptr<PtyShareClient> m_pty;
    std::vector<std::unique_ptr<SerialShareClient>> m_serialPorts;
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "radioshare.h"

#include "logging.h"
#include "peerowner.h"
#include "rigctlshareclient.h"
#include "serialshareclient.h"
#include "tcpshareclient.h"

#include "radio/lineowner.h"
#include "radio/porttable.h"

#if defined(Q_OS_UNIX)
#include "ptyshareclient.h"

#include <QDir>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>
#endif

#include <QHostAddress>
#include <QPointer>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QTcpServer>

#include <atomic>
#include <mutex>

namespace quillon {

#if !defined(Q_OS_UNIX)
// Windows has no pseudo-terminals; only TCP is served there.
class PtyShareClient {};
#endif

// A client as the owner's thread sees it: its input handed over from the window's thread, its
// replies handed back there. The client itself is only ever touched on the window's thread.
// It holds at most ShareHub::kMaxHeldInput bytes; what a client sends beyond that stays with the
// system until the owner has taken these.
class RadioShare::Mailbox final : public ShareClient {
public:
    Mailbox(RadioShare *share, QString name, quint64 id, bool cuttable, bool tellsFates)
        : id(id), cuttable(cuttable), tellsFates(tellsFates), m_share(share), m_name(std::move(name)) {}

    const quint64 id;        // a reply still on its way finds its client by this, or nobody
    const bool cuttable;     // a connection, which the door may close (not a device)
    const bool tellsFates;   // the client hears what became of each block (rigctld's answers)
    bool takeQueued = false; // window's thread only: a takeFrom is on its way
    bool taking = false;     // window's thread only: in takeFrom

    qsizetype room() const {
        std::lock_guard lock(m_mutex);
        return ShareHub::kMaxHeldInput - m_input.size();
    }
    // Returns how much it holds now.
    qsizetype post(const QByteArray &bytes) {
        std::lock_guard lock(m_mutex);
        m_input += bytes;
        return m_input.size();
    }
    // The client has more than fits: once the owner has taken what is here, the window's thread
    // is asked to come back for the rest. False when the owner took it meanwhile (room again).
    bool holdBack() {
        std::lock_guard lock(m_mutex);
        if (m_input.size() < ShareHub::kMaxHeldInput)
            return false;
        m_heldBack = true;
        return true;
    }
    // Nothing of the client's is waiting, here or in the hub: a read may be answered before
    // the hub sees it without overtaking anything the client sent before.
    bool isCaughtUp() const {
        std::lock_guard lock(m_mutex);
        return m_caughtUp && m_input.isEmpty();
    }
    void close() { m_connected = false; }

    QByteArray takeInput() override {
        QByteArray in;
        bool heldBack = false;
        {
            std::lock_guard lock(m_mutex);
            if (!m_input.isEmpty())
                m_caughtUp = false;
            in = std::exchange(m_input, {});
            heldBack = std::exchange(m_heldBack, false);
        }
        // Posted, never run here: the owner's thread touches no client.
        if (heldBack) {
            RadioShare *share = m_share;
            QMetaObject::invokeMethod(
                m_share,
                [share, id = id] {
                    if (ShareSource *client = share->clientOf(id))
                        share->takeFrom(client);
                },
                Qt::QueuedConnection);
        }
        return in;
    }
    void caughtUp() override {
        std::lock_guard lock(m_mutex);
        if (m_input.isEmpty())
            m_caughtUp = true;
    }
    void deliver(const QByteArray &bytes) override {
        RadioShare *share = m_share;
        QMetaObject::invokeMethod(
            m_share, [share, id = id, bytes] { share->deliverTo(id, bytes); }, Qt::QueuedConnection);
    }
    // Behind any reply posted before it, so the client hears of its blocks in order.
    void settled(const CommandBlock &block, BlockFate fate) override {
        if (!tellsFates)
            return;
        RadioShare *share = m_share;
        QMetaObject::invokeMethod(
            m_share,
            [share, id = id, block, fate] {
                if (ShareSource *client = share->clientOf(id))
                    client->settled(block, fate);
            },
            Qt::QueuedConnection);
    }
    bool isConnected() const override { return m_connected; }
    QString name() const override { return m_name; }

private:
    RadioShare *m_share;
    const QString m_name;
    mutable std::mutex m_mutex;
    QByteArray m_input;
    bool m_caughtUp = true;
    bool m_heldBack = false;
    std::atomic<bool> m_connected{true};
};

RadioShare::RadioShare(LineOwner &owner, QObject *parent)
    : QObject(parent), m_owner(owner),
      m_hub(std::make_shared<ShareHub>(owner.line(), owner.clock(), m_store)) {
    // One at a time: a burst of connections waits its turn rather than taking both cores.
    m_lookups.setMaxThreadCount(1);
    std::weak_ptr<ShareHub> hub = m_hub;
    // The door refuses a client on the owner's thread; a connection is cut on this one.
    m_hub->onRefuse([this](ShareClient *client) {
        auto *mailbox = static_cast<Mailbox *>(client);
        if (!mailbox->cuttable)
            return false; // a device stays: whoever opens it next starts afresh
        mailbox->close();
        QMetaObject::invokeMethod(
            this, [this, id = mailbox->id] { cutOff(id); }, Qt::QueuedConnection);
        return true;
    });
    m_owner.setClientWork([hub](LineOwner::Context &, Wire turn) {
        const std::shared_ptr<ShareHub> h = hub.lock();
        return h && h->serveNext(turn == Wire::Yes ? ShareHub::Wire::Yes : ShareHub::Wire::No);
    });
}

RadioShare::~RadioShare() {
    // A lookup still running posts its answer here; none may come once this is gone.
    m_lookups.waitForDone();
    // The owner keeps the hub alive while it serves a block; from now on it finds none.
    m_owner.setClientWork({});
    m_mailboxes.clear();
}

QString RadioShare::defaultPtyLink() {
#if defined(Q_OS_UNIX)
    return runtimeFolder() + QStringLiteral("/quillon/ft1000mp");
#else
    return {};
#endif
}

QString RadioShare::runtimeFolder() {
#if defined(Q_OS_UNIX)
    // When the session has none, the folder Qt would fall back to is named here rather than asked
    // of Qt, which warns on every call (--help asks too) and makes the folder. The link's folders
    // are made private when the link is made.
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const passwd *user = ::getpwuid(::geteuid());
    const QString name =
        user && user->pw_name ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
    return QDir::tempPath() + QStringLiteral("/runtime-") + name;
#else
    return {};
#endif
}

bool RadioShare::start(quint16 port, bool withPty, const QString &ptyLink, QString *error) {
    // A free port the system picked on 127.0.0.1 may be taken on ::1: a few tries.
    for (int attempt = 1; !listenOnLoopback(port, m_servers, "--share-port", error); ++attempt)
        if (port != 0 || attempt == 5)
            return false;
    for (QTcpServer *server : m_servers) {
        server->setMaxPendingConnections(ShareHub::kMaxClients);
        connect(server, &QTcpServer::newConnection, this, [this, server] { acceptConnections(server); });
    }
    qCInfo(lcShare).noquote() << "sharing the radio on"
                              << (m_servers.size() > 1 ? "127.0.0.1 and ::1"
                                                       : "127.0.0.1 (this machine has no ::1)")
                              << "port" << this->port();
#if defined(Q_OS_UNIX)
    if (withPty) {
        auto pty = std::make_unique<PtyShareClient>();
        QString ptyError;
        if (pty->open(ptyLink.isEmpty() ? defaultPtyLink() : ptyLink, &ptyError) && attach(pty.get())) {
            PtyShareClient *client = pty.get();
            connect(client, &PtyShareClient::inputArrived, this, [this, client] { takeFrom(client); });
            qCInfo(lcShare).noquote() << "and on" << pty->link() << "->" << pty->devicePath();
            m_pty = std::move(pty);
        } else if (!ptyLink.isEmpty()) {
            // A link asked for by name: no sharing is clearer than sharing where nobody looks.
            qCWarning(lcShare).noquote() << "not sharing after all:" << ptyError;
            qDeleteAll(m_servers);
            m_servers.clear();
            *error = ptyError;
            return false;
        } else {
            qCWarning(lcShare).noquote() << "no pseudo-terminal:" << ptyError;
        }
    }
#else
    Q_UNUSED(withPty);
    Q_UNUSED(ptyLink);
#endif
    return true;
}

QList<RadioShare::PortProblem> RadioShare::serveSerialPorts(const QStringList &ports,
                                                            const QString &radioDevice) {
    QList<PortProblem> problems;
    QStringList servedPorts;
    const QString radio = radioDevice.isEmpty() ? QString() : portIdentity(radioDevice);
    for (const QString &port : ports) {
        const QString identity = portIdentity(port);
        if (servedPorts.contains(identity))
            continue;
        if (identity == radio) {
            problems.append({port, QStringLiteral("%1 is the radio's own port.").arg(port)});
            continue;
        }
        auto client = std::make_unique<SerialShareClient>();
        QString why;
        if (!client->open(port, &why)) {
            problems.append({port, why});
            continue;
        }
        if (!attach(client.get())) {
            problems.append({port, QStringLiteral("%1: the radio is shared with %2 programs already.")
                                       .arg(port)
                                       .arg(ShareHub::kMaxClients)});
            continue;
        }
        SerialShareClient *served = client.get();
        connect(served, &SerialShareClient::inputArrived, this, [this, served] { takeFrom(served); });
        qCInfo(lcShare).noquote() << "and on serial port" << port;
        servedPorts << identity;
        m_serialPorts.push_back(std::move(client));
    }
    for (const PortProblem &problem : problems)
        qCWarning(lcShare).noquote() << "not shared:" << problem.why;
    return problems;
}

namespace {

// Why a loopback address's port cannot be had, naming the program that holds it where the system
// tells.
QString portError(const QTcpServer &server, const QHostAddress &address, quint16 port, const char *option) {
    const QString where = QStringLiteral("TCP port %1 on %2").arg(port).arg(address.toString());
    if (server.serverError() != QAbstractSocket::AddressInUseError)
        return QStringLiteral("%1: %2").arg(where, server.errorString());
    const QString holder = describeProcess(portHolder(address, port));
    return QStringLiteral("%1 is in use by %2. Quillon shares the radio on both 127.0.0.1 and ::1 or "
                          "not at all, since a program that looks up \"localhost\" may take either. "
                          "Close that program, or choose another port with %3.")
        .arg(where, holder.isEmpty() ? QStringLiteral("another program") : holder, QLatin1String(option));
}

} // namespace

bool RadioShare::listenOnLoopback(quint16 port, std::vector<QTcpServer *> &servers, const char *option,
                                  QString *error) {
    // Loopback only: the radio's port has no password, so it must not be reachable from the
    // network.
    auto v4 = std::make_unique<QTcpServer>(this);
    if (!v4->listen(QHostAddress::LocalHost, port)) {
        *error = portError(*v4, QHostAddress(QHostAddress::LocalHost), port, option);
        return false;
    }
    port = v4->serverPort();
    auto v6 = std::make_unique<QTcpServer>(this);
    if (!v6->listen(QHostAddress::LocalHostIPv6, port)) {
        // Only a machine without IPv6 may go without ::1.
        const QAbstractSocket::SocketError why = v6->serverError();
        if (why != QAbstractSocket::SocketAddressNotAvailableError &&
            why != QAbstractSocket::UnsupportedSocketOperationError) {
            *error = portError(*v6, QHostAddress(QHostAddress::LocalHostIPv6), port, option);
            return false;
        }
        v6.reset();
    }
    servers.push_back(v4.release());
    if (v6)
        servers.push_back(v6.release());
    return true;
}

bool RadioShare::startRigctld(quint16 port, QString *error) {
    for (int attempt = 1; !listenOnLoopback(port, m_rigctlServers, "--share-rigctld", error); ++attempt)
        if (port != 0 || attempt == 5)
            return false;
    for (QTcpServer *server : m_rigctlServers) {
        server->setMaxPendingConnections(ShareHub::kMaxClients);
        connect(server, &QTcpServer::newConnection, this,
                [this, server] { acceptRigctlConnections(server); });
    }
    qCInfo(lcShare).noquote() << "speaking rigctld's protocol on"
                              << (m_rigctlServers.size() > 1 ? "127.0.0.1 and ::1" : "127.0.0.1") << "port"
                              << rigctldPort();
    return true;
}

void RadioShare::keepFilters(bool keep) {
    if (keep)
        qCInfo(lcShare) << "filter selects from sharing programs are not passed on: the filters stay the "
                           "operator's (--share-keep-filters)";
    std::weak_ptr<ShareHub> hub = m_hub;
    // Ahead of any client the owner is handed after this.
    m_owner.post(LineOwner::Priority::Operator, [hub, keep](LineOwner::Context &) {
        if (const std::shared_ptr<ShareHub> h = hub.lock())
            h->setKeepFilters(keep);
    });
}

quint16 RadioShare::rigctldPort() const {
    return m_rigctlServers.empty() ? 0 : m_rigctlServers.front()->serverPort();
}

quint16 RadioShare::port() const { return m_servers.empty() ? 0 : m_servers.front()->serverPort(); }

QString RadioShare::ptyLink() const {
#if defined(Q_OS_UNIX)
    return m_pty ? m_pty->link() : QString();
#else
    return {};
#endif
}

bool RadioShare::attach(ShareSource *client) {
    if (clientCount() >= ShareHub::kMaxClients) {
        qCInfo(lcShare).noquote() << "refused" << client->name() << "- already" << ShareHub::kMaxClients
                                  << "clients";
        return false;
    }
    const bool rigctl = dynamic_cast<RigctlShareClient *>(client) != nullptr;
    const bool connection = dynamic_cast<TcpShareClient *>(client) != nullptr || rigctl;
    auto mailbox = std::make_shared<Mailbox>(this, client->name(), ++m_lastMailbox, connection, rigctl);
    m_mailboxes[client] = mailbox;
    std::weak_ptr<ShareHub> hub = m_hub;
    m_owner.post(LineOwner::Priority::Operator, [hub, mailbox](LineOwner::Context &) {
        if (const std::shared_ptr<ShareHub> h = hub.lock())
            h->addClient(mailbox.get());
    });
    return true;
}

void RadioShare::takeFrom(ShareSource *client) {
    const auto it = m_mailboxes.find(client);
    if (it == m_mailboxes.end())
        return;
    Mailbox &mailbox = *it->second;
    // A socket's look for input may announce it from inside the read below: that call would post
    // past the room this one counted on. This one takes it; the other comes back later.
    if (mailbox.taking) {
        takeLater(mailbox.id);
        return;
    }
    mailbox.takeQueued = false;
    const QScopedValueRollback taking(mailbox.taking, true);
    QByteArray reply; // the one write to the client this turn
    bool posted = false;
    for (int blocks = 0;;) {
        qsizetype room = mailbox.room();
        if (room == 0) {
            if (!mailbox.holdBack())
                continue;
            // Tells the client it will be asked again: a terminal stops announcing meanwhile.
            client->readInput(0);
            break;
        }
        // Whole blocks while there is room for them: a client that sends whole blocks stays
        // in step, and its reads can be answered at once.
        if (room >= 5)
            room -= room % 5;
        const QByteArray bytes = client->readInput(room);
        m_inputTaken += bytes.size();
        const QByteArray rest = mailbox.isCaughtUp() ? answerAtOnce(bytes, &reply) : bytes;
        if (!rest.isEmpty()) {
            m_mostInputHeld = std::max(m_mostInputHeld, mailbox.post(rest));
            posted = true;
        }
        if (bytes.size() < room)
            break; // all it sent so far; the next comes announced
        blocks += int(bytes.size() / 5) + 1;
        if (blocks >= kBlocksPerTurn) {
            takeLater(mailbox.id);
            break;
        }
    }
    if (posted)
        m_owner.clientWorkArrived();
    if (!reply.isEmpty()) {
        client->deliver(reply);
        ++m_answeredAtOnce;
    }
}

void RadioShare::takeLater(quint64 mailbox) {
    ShareSource *client = clientOf(mailbox);
    if (!client || std::exchange(m_mailboxes[client]->takeQueued, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this, mailbox] {
            if (ShareSource *c = clientOf(mailbox))
                takeFrom(c);
        },
        Qt::QueuedConnection);
}

QByteArray RadioShare::answerAtOnce(QByteArray bytes, QByteArray *reply) {
    qsizetype used = 0;
    const auto now = m_owner.clock().now();
    // Only the radio's own reads the store keeps are settled here; anything else, and all that
    // follows it, goes to the hub in order, through its door.
    const auto keptAt = [&](qsizetype at) {
        return bytes.size() - at >= 5 && ReplyStore::keeps(ShareHub::blockAt(bytes, at));
    };
    // A reply still to be written this turn has one of the radio's reads behind it now.
    if (keptAt(0))
        reply->clear();
    while (keptAt(used)) {
        const bool last = bytes.size() - used < 10;
        if (!last && !keptAt(used + 5))
            break; // what follows is for the door to judge, and with it whether this read stands
        QByteArray stored;
        const ShareHub::ReadRule rule =
            ShareHub::ruleFor(ShareHub::blockAt(bytes, used), !last, m_store.get(), now, &stored);
        if (rule == ShareHub::ReadRule::FromStore)
            *reply = std::move(stored);
        else if (rule != ShareHub::ReadRule::Superseded)
            break;
        used += 5;
    }
    bytes.remove(0, used);
    return bytes;
}

ShareSource *RadioShare::clientOf(quint64 mailbox) const {
    for (const auto &[client, box] : m_mailboxes)
        if (box->id == mailbox)
            return client;
    return nullptr;
}

void RadioShare::cutOff(quint64 mailbox) {
    for (const auto &[client, box] : m_mailboxes) {
        if (box->id != mailbox)
            continue;
        if (auto *tcp = dynamic_cast<TcpShareClient *>(client)) {
            const QSignalBlocker quiet(tcp->socket());
            tcp->socket()->abort();
            clientGone(tcp, tcp);
        } else if (auto *rigctl = dynamic_cast<RigctlShareClient *>(client)) {
            const QSignalBlocker quiet(rigctl->socket());
            rigctl->socket()->abort();
            clientGone(rigctl, rigctl);
        }
        return;
    }
}

void RadioShare::deliverTo(quint64 mailbox, const QByteArray &bytes) {
    if (ShareSource *client = clientOf(mailbox))
        client->deliver(bytes);
}

void RadioShare::acceptRigctlConnections(QTcpServer *server) {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (m_pending.size() >= std::size_t(ShareHub::kMaxClients)) {
            qCInfo(lcShare).noquote() << "refused rigctl client" << socket->peerAddress().toString() << "port"
                                      << socket->peerPort() << "- too many connections at once";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Held until its owner is known, its input left with the system meanwhile; the session
        // starts once it is admitted.
        socket->setParent(this);
        socket->setReadBufferSize(kInputBufferSize);
        lookUpOwner(socket, nullptr);
    }
}

void RadioShare::acceptConnections(QTcpServer *server) {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        // Held, its input bounded, until its owner is known: nothing it sends reaches the hub
        // before.
        auto *client = new TcpShareClient(socket, {}, this);
        if (m_pending.size() >= std::size_t(ShareHub::kMaxClients)) {
            qCInfo(lcShare).noquote() << "refused" << client->name() << "- too many connections at once";
            socket->abort();
            client->deleteLater();
            continue;
        }
        lookUpOwner(socket, client);
    }
}

void RadioShare::lookUpOwner(QTcpSocket *socket, TcpShareClient *raw) {
    const quint64 id = ++m_lastPending;
    m_pending[id] = Pending{socket, raw};
    m_lookups.start([this, id, peer = socket->peerAddress(), peerPort = socket->peerPort(),
                     local = socket->localAddress(), localPort = socket->localPort()] {
        const PeerOwner owner = loopbackPeerOwner(peer, peerPort, local, localPort);
        QMetaObject::invokeMethod(
            this, [this, id, owner] { admitConnection(id, owner); }, Qt::QueuedConnection);
    });
}

bool RadioShare::refusedFor(const PeerOwner &owner, const QString &name) {
    // The user's own programs only: the port has no password, and another account's program
    // could key the transmitter.
    if (mayUseRadio(owner))
        return false;
    PeerOwner self;
    self.uid = ownUid();
    qCInfo(lcShare).noquote() << "refused" << name << "- it runs as" << describeUser(owner)
                              << "and Quillon as" << describeUser(self);
    return true;
}

void RadioShare::admitConnection(quint64 pending, const PeerOwner &owner) {
    const auto it = m_pending.find(pending);
    if (it == m_pending.end())
        return;
    const Pending held = it->second;
    m_pending.erase(it);
    QTcpSocket *socket = held.socket;
    if (!held.raw) {
        admitRigctl(socket, owner);
        return;
    }
    TcpShareClient *client = held.raw;
    client->setWho(describeProcess(owner));
    if (refusedFor(owner, client->name()) || !attach(client)) {
        socket->abort();
        client->deleteLater();
        return;
    }
    connect(socket, &QTcpSocket::readyRead, this, [this, client] { takeFrom(client); });
    connect(socket, &QTcpSocket::disconnected, this, [this, client] { clientGone(client, client); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, client](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::SocketTimeoutError)
            clientGone(client, client);
    });
    // What it sent while its owner was looked up; it may have closed since, and what it sent
    // before still counts.
    takeFrom(client);
    if (socket->state() != QAbstractSocket::ConnectedState)
        clientGone(client, client);
}

void RadioShare::admitRigctl(QTcpSocket *socket, const PeerOwner &owner) {
    auto *client = new RigctlShareClient(socket, m_rigState, describeProcess(owner), this);
    if (refusedFor(owner, client->name()) || !attach(client)) {
        socket->abort();
        client->deleteLater();
        return;
    }
    connect(client, &RigctlShareClient::inputArrived, this, [this, client] { takeFrom(client); });
    connect(client, &RigctlShareClient::finished, this, [this, client] { clientGone(client, client); });
    connect(socket, &QTcpSocket::disconnected, this, [this, client] { clientGone(client, client); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, client](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::SocketTimeoutError)
            clientGone(client, client);
    });
    // Gone while its owner was looked up: nobody would read the answers.
    if (socket->state() != QAbstractSocket::ConnectedState) {
        clientGone(client, client);
        return;
    }
    client->start();
}

void RadioShare::clientGone(ShareSource *client, QObject *object) {
    // Forgotten at once; the object itself goes once control is back in the event loop, since
    // this may run inside one of its own socket's calls.
    // Both the error and the disconnection announce it; only the first counts.
    object->disconnect(this);
    for (QObject *child : object->children())
        child->disconnect(this);
    const auto it = m_mailboxes.find(client);
    if (it != m_mailboxes.end()) {
        // What it sent last still reaches the hub, which keeps its sets and drops its reads.
        std::shared_ptr<Mailbox> mailbox = it->second;
        mailbox->post(client->readInput(mailbox->room()));
        mailbox->close();
        m_mailboxes.erase(it);
        std::weak_ptr<ShareHub> hub = m_hub;
        m_owner.post(LineOwner::Priority::Operator, [hub, mailbox](LineOwner::Context &) {
            if (const std::shared_ptr<ShareHub> h = hub.lock())
                h->removeClient(mailbox.get());
        });
    }
    object->deleteLater();
}

} // namespace quillon

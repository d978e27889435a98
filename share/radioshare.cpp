// SPDX-License-Identifier: GPL-3.0-or-later
#include "radioshare.h"

#include "logging.h"
#include "peerowner.h"
#include "serialshareclient.h"
#include "tcpshareclient.h"

#include "radio/lineowner.h"
#include "radio/porttable.h"

#if defined(Q_OS_UNIX)
#include "ptyshareclient.h"

#include <QStandardPaths>
#endif

#include <QHostAddress>
#include <QPointer>
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
class RadioShare::Mailbox final : public ShareClient {
public:
    Mailbox(RadioShare *share, QString name, quint64 id, bool cuttable)
        : id(id), cuttable(cuttable), m_share(share), m_name(std::move(name)) {}

    const quint64 id;    // a reply still on its way finds its client by this, or nobody
    const bool cuttable; // a connection, which the door may close (not a device)

    void post(const QByteArray &bytes) {
        std::lock_guard lock(m_mutex);
        m_input += bytes;
    }
    // Nothing of the client's is waiting, here or in the hub: a read may be answered before
    // the hub sees it without overtaking anything the client sent before.
    bool isCaughtUp() const {
        std::lock_guard lock(m_mutex);
        return m_caughtUp && m_input.isEmpty();
    }
    void close() { m_connected = false; }

    QByteArray takeInput() override {
        std::lock_guard lock(m_mutex);
        if (!m_input.isEmpty())
            m_caughtUp = false;
        return std::exchange(m_input, {});
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
    bool isConnected() const override { return m_connected; }
    QString name() const override { return m_name; }

private:
    RadioShare *m_share;
    const QString m_name;
    mutable std::mutex m_mutex;
    QByteArray m_input;
    bool m_caughtUp = true;
    std::atomic<bool> m_connected{true};
};

RadioShare::RadioShare(LineOwner &owner, QObject *parent)
    : QObject(parent), m_owner(owner),
      m_hub(std::make_shared<ShareHub>(owner.line(), owner.clock(), m_store)) {
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
        return h &&
               h->serveNext(turn == Wire::Yes ? ShareHub::Wire::Yes : ShareHub::Wire::No);
    });
}

RadioShare::~RadioShare() {
    // The owner keeps the hub alive while it serves a block; from now on it finds none.
    m_owner.setClientWork({});
    m_mailboxes.clear();
}

QString RadioShare::defaultPtyLink() {
#if defined(Q_OS_UNIX)
    // $XDG_RUNTIME_DIR, or where Qt makes one (a folder of the user's own, mode 0700) when the
    // session has none.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/quillon/ft1000mp");
#else
    return {};
#endif
}

bool RadioShare::start(quint16 port, bool withPty, const QString &ptyLink, QString *error) {
    // A free port the system picked on 127.0.0.1 may be taken on ::1: a few tries.
    for (int attempt = 1; !listenOnLoopback(port, error); ++attempt)
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
QString portError(const QTcpServer &server, const QHostAddress &address, quint16 port) {
    const QString where = QStringLiteral("TCP port %1 on %2").arg(port).arg(address.toString());
    if (server.serverError() != QAbstractSocket::AddressInUseError)
        return QStringLiteral("%1: %2").arg(where, server.errorString());
    const QString holder = describeProcess(portHolder(address, port));
    return QStringLiteral("%1 is in use by %2. Quillon shares the radio on both 127.0.0.1 and ::1 or "
                          "not at all, since a program that looks up \"localhost\" may take either. "
                          "Close that program, or choose another port with --share-port.")
        .arg(where, holder.isEmpty() ? QStringLiteral("another program") : holder);
}

} // namespace

bool RadioShare::listenOnLoopback(quint16 port, QString *error) {
    // Loopback only: the radio's port has no password, so it must not be reachable from the
    // network.
    auto v4 = std::make_unique<QTcpServer>(this);
    if (!v4->listen(QHostAddress::LocalHost, port)) {
        *error = portError(*v4, QHostAddress(QHostAddress::LocalHost), port);
        return false;
    }
    port = v4->serverPort();
    auto v6 = std::make_unique<QTcpServer>(this);
    if (!v6->listen(QHostAddress::LocalHostIPv6, port)) {
        // Only a machine without IPv6 may go without ::1.
        const QAbstractSocket::SocketError why = v6->serverError();
        if (why != QAbstractSocket::SocketAddressNotAvailableError &&
            why != QAbstractSocket::UnsupportedSocketOperationError) {
            *error = portError(*v6, QHostAddress(QHostAddress::LocalHostIPv6), port);
            return false;
        }
        v6.reset();
    }
    m_servers.push_back(v4.release());
    if (v6)
        m_servers.push_back(v6.release());
    return true;
}

quint16 RadioShare::port() const { return m_servers.empty() ? 0 : m_servers.front()->serverPort(); }

QString RadioShare::ptyLink() const {
#if defined(Q_OS_UNIX)
    return m_pty ? m_pty->link() : QString();
#else
    return {};
#endif
}

bool RadioShare::attach(ShareClient *client) {
    if (clientCount() >= ShareHub::kMaxClients) {
        qCInfo(lcShare).noquote() << "refused" << client->name() << "- already" << ShareHub::kMaxClients
                                  << "clients";
        return false;
    }
    auto mailbox = std::make_shared<Mailbox>(this, client->name(), ++m_lastMailbox,
                                             dynamic_cast<TcpShareClient *>(client) != nullptr);
    m_mailboxes[client] = mailbox;
    std::weak_ptr<ShareHub> hub = m_hub;
    m_owner.post(LineOwner::Priority::Operator, [hub, mailbox](LineOwner::Context &) {
        if (const std::shared_ptr<ShareHub> h = hub.lock())
            h->addClient(mailbox.get());
    });
    return true;
}

void RadioShare::takeFrom(ShareClient *client) {
    const auto it = m_mailboxes.find(client);
    if (it == m_mailboxes.end())
        return;
    const QByteArray bytes = answerAtOnce(client, *it->second, client->takeInput());
    if (bytes.isEmpty())
        return;
    it->second->post(bytes);
    m_owner.clientWorkArrived();
}

QByteArray RadioShare::answerAtOnce(ShareClient *client, Mailbox &mailbox, QByteArray bytes) {
    if (bytes.size() < 5 || !mailbox.isCaughtUp())
        return bytes;
    while (bytes.size() >= 5) {
        CommandBlock block;
        for (int k = 0; k < 5; ++k)
            block[k] = static_cast<quint8>(bytes.at(k));
        // The next read goes to the hub, and with it all that follows, in order.
        if (!ReplyStore::keeps(block))
            break;
        const std::optional<QByteArray> stored = m_store->fresh(block, m_owner.clock().now());
        if (!stored)
            break;
        client->deliver(*stored);
        ++m_answeredAtOnce;
        bytes.remove(0, 5);
    }
    return bytes;
}

void RadioShare::cutOff(quint64 mailbox) {
    for (const auto &[client, box] : m_mailboxes) {
        if (box->id != mailbox)
            continue;
        if (auto *tcp = dynamic_cast<TcpShareClient *>(client)) {
            const QSignalBlocker quiet(tcp->socket());
            tcp->socket()->abort();
            clientGone(tcp, tcp);
        }
        return;
    }
}

void RadioShare::deliverTo(quint64 mailbox, const QByteArray &bytes) {
    for (const auto &[client, box] : m_mailboxes) {
        if (box->id == mailbox) {
            client->deliver(bytes);
            return;
        }
    }
}

void RadioShare::acceptConnections(QTcpServer *server) {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        // The user's own programs only: the port has no password, and another account's program
        // could key the transmitter.
        const PeerOwner owner = loopbackPeerOwner(socket->peerAddress(), socket->peerPort(),
                                                  socket->localAddress(), socket->localPort());
        auto *client = new TcpShareClient(socket, describeProcess(owner), this);
        if (!mayUseRadio(owner)) {
            PeerOwner self;
            self.uid = ownUid();
            qCInfo(lcShare).noquote() << "refused" << client->name() << "- it runs as" << describeUser(owner)
                                      << "and Quillon as" << describeUser(self);
            socket->abort();
            client->deleteLater();
            continue;
        }
        if (!attach(client)) {
            socket->abort();
            client->deleteLater();
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, client] { takeFrom(client); });
        connect(socket, &QTcpSocket::disconnected, this, [this, client] { clientGone(client, client); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, client](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::SocketTimeoutError)
                clientGone(client, client);
        });
        // Bytes may have come with the connection itself.
        takeFrom(client);
    }
}

void RadioShare::clientGone(ShareClient *client, QObject *object) {
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
        mailbox->post(client->takeInput());
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

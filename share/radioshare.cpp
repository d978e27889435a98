// SPDX-License-Identifier: GPL-3.0-or-later
#include "radioshare.h"

#include "logging.h"
#include "serialshareclient.h"
#include "tcpshareclient.h"

#include "radio/lineowner.h"
#include "radio/porttable.h"

#if defined(Q_OS_UNIX)
#include "ptyshareclient.h"

#include <QStandardPaths>
#endif

#include <QHostAddress>
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
    Mailbox(RadioShare *share, QString name, quint64 id) : id(id), m_share(share), m_name(std::move(name)) {}

    const quint64 id; // a reply still on its way finds its client by this, or nobody

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
    m_owner.setClientWork([hub](LineOwner::Context &) {
        const std::shared_ptr<ShareHub> h = hub.lock();
        return h && h->serveNext();
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
    // Loopback only: the radio's port has no password, so it must not be reachable from the
    // network. IPv6's ::1 is served too where the system has it.
    auto *v4 = new QTcpServer(this);
    if (!v4->listen(QHostAddress::LocalHost, port)) {
        *error = QStringLiteral("TCP port %1 on 127.0.0.1: %2").arg(port).arg(v4->errorString());
        delete v4;
        return false;
    }
    m_servers.push_back(v4);
    auto *v6 = new QTcpServer(this);
    if (v6->listen(QHostAddress::LocalHostIPv6, v4->serverPort()))
        m_servers.push_back(v6);
    else {
        qCInfo(lcShare).noquote() << "not on ::1:" << v6->errorString();
        delete v6;
    }
    for (QTcpServer *server : m_servers) {
        server->setMaxPendingConnections(ShareHub::kMaxClients);
        connect(server, &QTcpServer::newConnection, this, [this, server] { acceptConnections(server); });
    }
    qCInfo(lcShare).noquote() << "sharing the radio on 127.0.0.1" << (m_servers.size() > 1 ? "and ::1" : "")
                              << "port" << v4->serverPort();
#if defined(Q_OS_UNIX)
    if (withPty) {
        auto pty = std::make_unique<PtyShareClient>();
        QString ptyError;
        if (pty->open(ptyLink.isEmpty() ? defaultPtyLink() : ptyLink, &ptyError) && attach(pty.get())) {
            PtyShareClient *client = pty.get();
            connect(client, &PtyShareClient::inputArrived, this, [this, client] { takeFrom(client); });
            qCInfo(lcShare).noquote() << "and on" << pty->link() << "->" << pty->devicePath();
            m_pty = std::move(pty);
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
    auto mailbox = std::make_shared<Mailbox>(this, client->name(), ++m_lastMailbox);
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
        auto *client = new TcpShareClient(socket, this);
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

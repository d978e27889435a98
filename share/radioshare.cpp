// SPDX-License-Identifier: GPL-3.0-or-later
#include "radioshare.h"

#include "logging.h"
#include "peerowner.h"
#include "tcpshareclient.h"

#if defined(Q_OS_UNIX)
#include "ptyshareclient.h"

#include <QStandardPaths>
#endif

#include <QHostAddress>
#include <QPointer>
#include <QSignalBlocker>
#include <QTcpServer>

namespace quillon {

#if !defined(Q_OS_UNIX)
// Windows has no pseudo-terminals; only TCP is served there.
class PtyShareClient {};
#endif

RadioShare::RadioShare(SerialLine &line, MonotonicClock &clock, QObject *parent)
    : QObject(parent), m_hub(line, clock) {
    // Input is served from the event loop, never from inside the signal that announced it.
    m_serveSoon.setSingleShot(true);
    m_serveSoon.setInterval(0);
    connect(&m_serveSoon, &QTimer::timeout, this, &RadioShare::serve);
    m_hub.onRefuse([this](ShareClient *client) {
        // The pseudo-terminal stays: whoever opens it next starts afresh.
        auto *tcp = dynamic_cast<TcpShareClient *>(client);
        if (!tcp)
            return false;
        // Cut at once; forgotten once the hub, which is in the middle of its input, is done.
        const QSignalBlocker quiet(tcp->socket());
        tcp->socket()->abort();
        QMetaObject::invokeMethod(
            this,
            [this, tcp = QPointer<TcpShareClient>(tcp)] {
                if (tcp)
                    clientGone(tcp, tcp);
            },
            Qt::QueuedConnection);
        return true;
    });
}

RadioShare::~RadioShare() = default;

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
        if (pty->open(ptyLink.isEmpty() ? defaultPtyLink() : ptyLink, &ptyError) &&
            m_hub.addClient(pty.get())) {
            connect(pty.get(), &PtyShareClient::inputArrived, this, &RadioShare::scheduleServe);
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
        if (!m_hub.addClient(client)) {
            socket->abort();
            client->deleteLater();
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, this, &RadioShare::scheduleServe);
        connect(socket, &QTcpSocket::disconnected, this, [this, client] { clientGone(client, client); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, client](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::SocketTimeoutError)
                clientGone(client, client);
        });
    }
}

void RadioShare::clientGone(ShareClient *client, QObject *object) {
    // Forgotten at once; the object itself goes once control is back in the event loop, since
    // this may run inside one of its own socket's calls.
    // Both the error and the disconnection announce it; only the first counts.
    object->disconnect(this);
    for (QObject *child : object->children())
        child->disconnect(this);
    m_hub.removeClient(client);
    object->deleteLater();
    // What it sent last may still be waiting for the line.
    scheduleServe();
}

void RadioShare::scheduleServe() { m_serveSoon.start(); }

void RadioShare::serve() {
    if (m_hub.serveRound())
        scheduleServe();
}

void RadioShare::serveWaiting() { m_hub.serveRound(); }

} // namespace quillon

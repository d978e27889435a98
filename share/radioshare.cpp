// SPDX-License-Identifier: GPL-3.0-or-later
#include "radioshare.h"

#include "logging.h"
#include "serialshareclient.h"
#include "tcpshareclient.h"

#include "radio/porttable.h"

#if defined(Q_OS_UNIX)
#include "ptyshareclient.h"

#include <QStandardPaths>
#endif

#include <QHostAddress>
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
        if (pty->open(ptyLink.isEmpty() ? defaultPtyLink() : ptyLink, &ptyError) &&
            m_hub.addClient(pty.get())) {
            connect(pty.get(), &PtyShareClient::inputArrived, this, &RadioShare::scheduleServe);
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
    QStringList served;
    const QString radio = radioDevice.isEmpty() ? QString() : portIdentity(radioDevice);
    for (const QString &port : ports) {
        const QString identity = portIdentity(port);
        if (served.contains(identity))
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
        if (!m_hub.addClient(client.get())) {
            problems.append({port, QStringLiteral("%1: the radio is shared with %2 programs already.")
                                       .arg(port)
                                       .arg(ShareHub::kMaxClients)});
            continue;
        }
        connect(client.get(), &SerialShareClient::inputArrived, this, &RadioShare::scheduleServe);
        qCInfo(lcShare).noquote() << "and on serial port" << port;
        served << identity;
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

void RadioShare::acceptConnections(QTcpServer *server) {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        auto *client = new TcpShareClient(socket, this);
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

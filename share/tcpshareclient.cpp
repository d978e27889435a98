// SPDX-License-Identifier: GPL-3.0-or-later
#include "tcpshareclient.h"

#include "radio/serialline.h"

#include <QHostAddress>

namespace quillon {

TcpShareClient::TcpShareClient(QTcpSocket *socket, const QString &who, QObject *parent)
    : QObject(parent), m_socket(socket) {
    m_socket->setParent(this);
    // Replies are a few bytes each and a client waits for every one of them.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Qt would otherwise take in all a flooding client sends; beyond this it stays in the
    // system's socket buffer, and TCP holds the sender back.
    m_socket->setReadBufferSize(kInputBufferSize);
    m_address = QStringLiteral("TCP client %1 port %2")
                    .arg(m_socket->peerAddress().toString())
                    .arg(m_socket->peerPort());
    setWho(who);
}

void TcpShareClient::setWho(const QString &who) {
    m_name = who.isEmpty() ? m_address : QStringLiteral("%1 (%2)").arg(m_address, who);
}

QByteArray TcpShareClient::readInput(qsizetype most) {
    // A closed socket has nothing left to give (Qt read it all before it said so).
    if (!m_socket->isOpen())
        return {};
    // Pulls in what the system holds even while no event loop runs.
    if (m_socket->isValid() && m_socket->state() == QAbstractSocket::ConnectedState &&
        m_socket->bytesAvailable() == 0)
        m_socket->waitForReadyRead(0);
    return m_socket->read(most);
}

void TcpShareClient::deliver(const QByteArray &bytes) {
    if (!isConnected())
        return;
    m_socket->write(bytes);
    m_socket->flush();
}

bool TcpShareClient::isConnected() const { return m_socket->state() == QAbstractSocket::ConnectedState; }

} // namespace quillon

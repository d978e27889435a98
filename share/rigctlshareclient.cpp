// SPDX-License-Identifier: GPL-3.0-or-later
#include "rigctlshareclient.h"

#include "logging.h"

#include "radio/serialline.h"

#include <QHostAddress>

namespace quillon {

RigctlShareClient::RigctlShareClient(QTcpSocket *socket, rigctlproto::RigState &state, const QString &who,
                                     QObject *parent)
    : QObject(parent), m_socket(socket), m_session(state) {
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A flood stays in the system's buffer, as on the raw port.
    m_socket->setReadBufferSize(kInputBufferSize);
    m_name = QStringLiteral("rigctl client %1 port %2")
                 .arg(m_socket->peerAddress().toString())
                 .arg(m_socket->peerPort());
    if (!who.isEmpty())
        m_name += QStringLiteral(" (%1)").arg(who);
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(kReplyTimeoutMs);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_session.reply(std::nullopt);
        afterSession();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &RigctlShareClient::readSocket);
}

void RigctlShareClient::start() {
    QMetaObject::invokeMethod(this, &RigctlShareClient::readSocket, Qt::QueuedConnection);
}

QByteArray RigctlShareClient::readInput(qsizetype most) {
    // Whole blocks only; the rest waits for the next call.
    const qsizetype whole = std::min(most, m_blocks.size()) / 5 * 5;
    QByteArray out = m_blocks.first(whole);
    m_blocks.remove(0, whole);
    return out;
}

void RigctlShareClient::deliver(const QByteArray &bytes) {
    if (m_done || !m_session.waitingRead())
        return;
    m_timeout.stop();
    m_session.reply(bytes);
    afterSession();
}

bool RigctlShareClient::isConnected() const {
    return !m_done && m_socket->state() == QAbstractSocket::ConnectedState;
}

void RigctlShareClient::readSocket() {
    if (m_done)
        return;
    // Held back while a command waits for the radio: rigctld reads the next one only then.
    if (m_session.waitingRead())
        return;
    m_session.feed(m_socket->read(kInputBufferSize));
    afterSession();
}

void RigctlShareClient::afterSession() {
    if (m_done)
        return;
    if (m_session.refusal() != rigctlproto::Parser::Refusal::None) {
        qCInfo(lcShare).noquote() << "refused" << m_name << "-"
                                  << rigctlproto::Parser::describe(m_session.refusal());
        m_session.takeBlocks();
        m_done = true;
        m_socket->abort();
        emit finished();
        return;
    }
    const QByteArray text = m_session.takeText();
    if (!text.isEmpty()) {
        m_socket->write(text);
        m_socket->flush();
    }
    // Sets before a quit still reach the radio: the share takes a leaving client's last input.
    const QByteArray blocks = m_session.takeBlocks();
    if (!blocks.isEmpty()) {
        m_blocks += blocks;
        emit inputArrived();
    }
    if (m_session.quit()) {
        m_done = true;
        m_socket->disconnectFromHost();
        emit finished();
        return;
    }
    if (m_session.waitingRead())
        m_timeout.start();
    // What came while the radio was asked.
    if (!m_session.waitingRead() && m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &RigctlShareClient::readSocket, Qt::QueuedConnection);
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "rigctlshareclient.h"

#include "blockreply.h"
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
    connect(&m_timeout, &QTimer::timeout, this, &RigctlShareClient::timedOut);
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
    for (qsizetype at = 0; at < out.size(); at += 5)
        m_flight.push_back({ShareHub::blockAt(out, at)});
    return out;
}

bool RigctlShareClient::takeFlight(const CommandBlock *block) {
    const auto it = std::find_if(m_flight.begin(), m_flight.end(), [block](const Flight &f) {
        return block ? f.block == *block : expectedReplyLength(f.block) != 0;
    });
    if (it == m_flight.end()) {
        qCWarning(lcShare).noquote() << m_name << "told of a block not in flight";
        return false;
    }
    const bool givenUp = it->givenUp;
    m_flight.erase(it);
    return !givenUp;
}

void RigctlShareClient::deliver(const QByteArray &bytes) {
    if (m_done)
        return;
    // A reply to a read given up is let go.
    if (takeFlight(nullptr) && m_session.waitingRead())
        m_session.reply(bytes);
    afterSession();
}

void RigctlShareClient::settled(const CommandBlock &block, BlockFate fate) {
    if (m_done || !takeFlight(&block)) {
        afterSession();
        return;
    }
    const int result = fate == BlockFate::OnWire || fate == BlockFate::Kept ? rigctlproto::kOk
                       : fate == BlockFate::NotSent                         ? rigctlproto::kIo
                                                                            : rigctlproto::kRejected;
    if (expectedReplyLength(block) != 0)
        m_session.reply(std::nullopt, fate == BlockFate::NotSent ? rigctlproto::kIo : rigctlproto::kTimeout);
    else
        m_session.settled(result);
    afterSession();
}

void RigctlShareClient::timedOut() {
    if (m_done || !m_session.busy())
        return;
    m_session.giveUp();
    // Not yet taken: never sent. Taken: whatever the hub says of them is let go.
    m_blocks.clear();
    for (Flight &flight : m_flight)
        flight.givenUp = true;
    m_held = true;
    afterSession();
}

bool RigctlShareClient::isConnected() const {
    return !m_done && m_socket->state() == QAbstractSocket::ConnectedState;
}

void RigctlShareClient::readSocket() {
    if (m_done)
        return;
    // Held back while a command is under way: rigctld reads the next one only then.
    if (m_session.busy() || !m_flight.empty())
        return;
    m_session.feed(m_socket->read(kInputBufferSize));
    afterSession();
}

void RigctlShareClient::afterSession() {
    for (;;) {
        if (m_done)
            return;
        if (m_session.refusal() != rigctlproto::Parser::Refusal::None) {
            qCInfo(lcShare).noquote()
                << "refused" << m_name << "-" << rigctlproto::Parser::describe(m_session.refusal());
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
        if (m_session.busy()) {
            // Several commands on a line: each its own wait, not what is left of the last one's.
            if (!m_timeout.isActive() || m_session.begun() != m_timedCommand)
                m_timeout.start();
            m_timedCommand = m_session.begun();
            return;
        }
        m_timeout.stop();
        // A command given up: the next waits until the hub has let all of its blocks go.
        if (!m_flight.empty())
            return;
        if (!std::exchange(m_held, false))
            break;
        m_session.resume(); // the commands the session had already read
    }
    // What came while the radio was asked.
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &RigctlShareClient::readSocket, Qt::QueuedConnection);
}

} // namespace quillon

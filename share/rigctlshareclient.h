// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "rigctlsession.h"
#include "sharehub.h"

#include <QTcpSocket>
#include <QTimer>

namespace quillon {

// A program speaking rigctld's protocol on a TCP connection. Its commands become the CAT blocks
// Hamlib's FT-1000MP driver would send, which go to the hub like any client's bytes (through the
// same door, turns and reply store); the radio's replies come back as rigctld's answers. Owns the
// socket.
class RigctlShareClient final : public QObject, public ShareSource {
    Q_OBJECT
public:
    // How long a read may wait for the radio's reply before it is answered as a timeout; well
    // past the longest the hub holds a client's read (its wait for the radio, behind the window's
    // own exchanges), so that a reply never comes after its read was given up.
    static constexpr int kReplyTimeoutMs = 3000;

    RigctlShareClient(QTcpSocket *socket, rigctlproto::RigState &state, const QString &who,
                      QObject *parent = nullptr);
    // The session's blocks for the radio.
    QByteArray readInput(qsizetype most) override;
    // The radio's reply to the session's read.
    void deliver(const QByteArray &bytes) override;
    bool isConnected() const override;
    QString name() const override { return m_name; }
    QTcpSocket *socket() const { return m_socket; }
    // Reads what came with the connection itself, once control is back in the event loop.
    void start();

signals:
    // Blocks for the radio are waiting to be read.
    void inputArrived();
    // The client asked to quit, or was refused at the door for text rigctld would not take
    // (logged): the connection is closed.
    void finished();

private:
    void readSocket();
    void afterSession();

    QTcpSocket *m_socket;
    QString m_name;
    rigctlproto::Session m_session;
    QByteArray m_blocks;
    QTimer m_timeout;
    bool m_done = false;
};

} // namespace quillon

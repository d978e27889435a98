// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "rigctlsession.h"
#include "sharehub.h"

#include <QTcpSocket>
#include <QTimer>

#include <deque>

namespace quillon {

// A program speaking rigctld's protocol on a TCP connection. Its commands become the CAT blocks
// Hamlib's FT-1000MP driver would send, which go to the hub like any client's bytes (through the
// same door, turns and reply store); the radio's replies come back as rigctld's answers. Owns the
// socket.
class RigctlShareClient final : public QObject, public ShareSource {
    Q_OBJECT
public:
    // How long a command may wait for the hub before it is answered as a timeout: well past the
    // longest the hub holds a client's block (its wait for the radio, behind the window's own
    // exchanges). The hub still has the blocks then; the next command waits until it has let
    // them go, so a late reply can never answer it.
    static constexpr int kReplyTimeoutMs = 3000;

    RigctlShareClient(QTcpSocket *socket, rigctlproto::RigState &state, const QString &who,
                      QObject *parent = nullptr);
    // The session's blocks for the radio.
    QByteArray readInput(qsizetype most) override;
    // The radio's reply to the oldest of its blocks the hub still has, a read.
    void deliver(const QByteArray &bytes) override;
    // The hub is done with the oldest of its blocks it still has, without a reply.
    void settled(const CommandBlock &block, BlockFate fate) override;
    bool isConnected() const override;
    QString name() const override { return m_name; }
    QTcpSocket *socket() const { return m_socket; }
    // Reads what came with the connection itself, once control is back in the event loop.
    void start();
    // For the tests: a shorter wait than kReplyTimeoutMs.
    void setReplyTimeout(int ms) { m_timeout.setInterval(ms); }

signals:
    // Blocks for the radio are waiting to be read.
    void inputArrived();
    // The client asked to quit, or was refused at the door for text rigctld would not take
    // (logged): the connection is closed.
    void finished();

private:
    void readSocket();
    void afterSession();
    void timedOut();
    // The block told of taken off (with none given: the oldest read); false when it belonged
    // to a command given up, or was not in flight.
    bool takeFlight(const CommandBlock *block);

    QTcpSocket *m_socket;
    QString m_name;
    rigctlproto::Session m_session;
    QByteArray m_blocks; // the session's, not yet taken by the share
    // Taken by the share and not yet answered or settled, oldest first. The hub tells of each
    // once and answers reads in order, so a reply is the oldest read's. Only one command's blocks
    // are ever in flight: after a timeout the next waits until the hub has told of them all.
    struct Flight {
        CommandBlock block;
        bool givenUp = false; // its command was answered as a timeout
    };
    std::deque<Flight> m_flight;
    bool m_held = false;
    quint64 m_timedCommand = 0; // the command the running wait is for // commands the session has read wait
                                // for the blocks given up
    QTimer m_timeout;
    bool m_done = false;
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sharehub.h"

#include <QTcpSocket>

namespace quillon {

// A client on a TCP connection; owns the socket.
class TcpShareClient final : public QObject, public ShareSource {
    Q_OBJECT
public:
    // `who`: the program at the other end ("rigctl, pid 4242"), where known, for the log.
    explicit TcpShareClient(QTcpSocket *socket, const QString &who = {}, QObject *parent = nullptr);
    QByteArray readInput(qsizetype most) override;
    void deliver(const QByteArray &bytes) override;
    bool isConnected() const override;
    QString name() const override { return m_name; }
    QTcpSocket *socket() const { return m_socket; }
    // Names the program at the other end once it is known.
    void setWho(const QString &who);

private:
    QTcpSocket *m_socket;
    QString m_address; // the far end, kept: a closed socket forgets it
    QString m_name;
};

} // namespace quillon

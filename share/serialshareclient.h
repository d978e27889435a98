// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sharehub.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

namespace quillon {

// A serial port served as one client (quillon --share-com): one end of a virtual null-modem pair
// whose other end a logger opens, or a real port cabled to a second computer. Whoever is on the
// other end is the client; the port stays open whether or not anybody is, so a program that
// closes and reopens its end is simply served again. The port runs as the radio's does (4800
// baud, 8 data bits, no parity, 2 stop bits) with DTR and RTS off; the other end's modem lines
// and breaks are ignored. A port that goes away while open (an adapter pulled) is let go at once
// and opened again when it is back.
class SerialShareClient final : public QObject, public ShareSource {
    Q_OBJECT
public:
    SerialShareClient();
    ~SerialShareClient() override;

    // Opens port: "COMn" on Windows, a device path elsewhere. False with a sentence in *why that
    // names the port and says what is wrong (missing, held by another program, not a serial
    // port).
    bool open(const QString &port, QString *why);
    QString port() const { return m_name; }

    QByteArray readInput(qsizetype most) override;
    void deliver(const QByteArray &bytes) override;
    bool isConnected() const override;
    QString name() const override { return QStringLiteral("serial port %1").arg(m_name); }

    // How often a port that went away is looked for.
    static constexpr std::chrono::milliseconds kLookInterval{1000};
    // Reply bytes the port may still have to send before more are dropped: only a wedged port
    // gets there (a reply is a few dozen bytes and leaves at 480 bytes a second).
    static constexpr qint64 kMaxUnsent = 2048;

signals:
    void inputArrived();

private:
    struct Port; // the system's side: QSerialPort, or a Win32 handle
    bool openPort(QString *why);
    void lose(const char *why);
#if defined(Q_OS_WIN)
    void startWrite();
    void finishWrite();
#endif

    std::unique_ptr<Port> m_port;
    QString m_name;
    QTimer m_look;
};

} // namespace quillon

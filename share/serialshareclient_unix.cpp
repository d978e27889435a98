// SPDX-License-Identifier: GPL-3.0-or-later
#include "serialshareclient.h"

#include "logging.h"

#include "radio/serialline.h"

#include <QFile>
#include <QSerialPort>

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace quillon {

struct SerialShareClient::Port {
    QSerialPort serial;

    bool hungUp() const {
        if (!serial.isOpen() || serial.handle() < 0)
            return false;
        pollfd pfd{serial.handle(), POLLIN, 0};
        return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
    }
};

SerialShareClient::SerialShareClient() : m_port(std::make_unique<Port>()) {
    QSerialPort &serial = m_port->serial;
    connect(&serial, &QSerialPort::readyRead, this, &SerialShareClient::inputArrived);
    // Beyond this a flooding program's bytes stay in the port's own buffer.
    serial.setReadBufferSize(kInputBufferSize);
    // Queued: the port must not close under Qt's own call. Only a vanished device counts; a
    // modem-line call a pseudo-terminal refuses is no reason to stop serving.
    connect(
        &serial, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::NoError || !m_port->serial.isOpen())
                return;
            if (error == QSerialPort::ResourceError || m_port->hungUp())
                lose("hung up");
            else
                m_port->serial.clearError();
        },
        Qt::QueuedConnection);
    m_look.setInterval(kLookInterval);
    connect(&m_look, &QTimer::timeout, this, [this] {
        QString why;
        if (!QFile::exists(m_name) || !openPort(&why))
            return;
        m_look.stop();
        qCInfo(lcShare).noquote() << name() << "is back";
    });
}

SerialShareClient::~SerialShareClient() = default;

bool SerialShareClient::open(const QString &port, QString *why) {
    m_name = port;
    return openPort(why);
}

bool SerialShareClient::openPort(QString *why) {
    QSerialPort &serial = m_port->serial;
    serial.setPortName(m_name);
    serial.setBaudRate(kBaudRate);
    serial.setDataBits(QSerialPort::Data8);
    serial.setParity(QSerialPort::NoParity);
    serial.setStopBits(QSerialPort::TwoStop);
    serial.setFlowControl(QSerialPort::NoFlowControl);
    if (!serial.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = serial.error();
        const QString detail = serial.errorString();
        serial.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            *why = QStringLiteral("%1 does not exist.").arg(m_name);
            break;
        case QSerialPort::PermissionError:
            // Qt says the same of a device this user may not open and one another program holds.
            if (::access(QFile::encodeName(m_name).constData(), R_OK | W_OK) != 0 && errno == EACCES)
                *why = QStringLiteral("You do not have permission to open %1. Run \"sudo usermod -aG "
                                      "dialout $USER\", then log out and in again.")
                           .arg(m_name);
            else
                *why = QStringLiteral("%1 is in use by another program.").arg(m_name);
            break;
        default:
            *why = QStringLiteral("%1 is not a serial port (%2).").arg(m_name, detail);
            break;
        }
        return false;
    }
    // Opening raises DTR and RTS; the other end may key a transmitter from them as the radio's
    // interface would. A pseudo-terminal has no modem lines, which is no reason to give up.
    serial.setDataTerminalReady(false);
    serial.setRequestToSend(false);
    serial.clearError();
    // A break from the other end (a program opening its port, a cable plugged in) would read as
    // a zero byte and shift that program's blocks; the carrier is no concern of ours either.
    termios tio{};
    if (::tcgetattr(serial.handle(), &tio) == 0) {
        tio.c_iflag |= IGNBRK;
        tio.c_iflag &= ~tcflag_t(BRKINT | PARMRK);
        tio.c_cflag |= CLOCAL;
        ::tcsetattr(serial.handle(), TCSANOW, &tio);
    }
    return true;
}

void SerialShareClient::lose(const char *why) {
    QSerialPort &serial = m_port->serial;
    if (!serial.isOpen())
        return;
    // A descriptor whose device is gone would wake the event loop for ever.
    serial.close();
    serial.clearError();
    m_look.start();
    qCWarning(lcShare).noquote() << name() << "gone (" << why << "), waiting for it to return";
}

bool SerialShareClient::isConnected() const { return m_port->serial.isOpen(); }

QByteArray SerialShareClient::readInput(qsizetype most) {
    QSerialPort &serial = m_port->serial;
    if (!serial.isOpen())
        return {};
    if (m_port->hungUp()) {
        lose("hung up");
        return {};
    }
    // Pull in what the system holds even while no event loop has looked; Qt's buffer is bounded,
    // so a program flooding its end cannot keep us here.
    while (serial.bytesAvailable() < most && serial.waitForReadyRead(0)) {
    }
    serial.clearError(); // the timeout of the last look
    return serial.read(most);
}

void SerialShareClient::deliver(const QByteArray &bytes) {
    QSerialPort &serial = m_port->serial;
    if (!serial.isOpen())
        return;
    if (serial.bytesToWrite() + bytes.size() > kMaxUnsent) {
        qCDebug(lcShare).noquote() << name() << "dropped" << bytes.size()
                                   << "reply bytes: the port takes none";
        return;
    }
    serial.write(bytes);
    // Out now: during one of the window's exchanges Qt would send it only afterwards.
    serial.flush();
}

} // namespace quillon

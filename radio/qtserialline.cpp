// SPDX-License-Identifier: GPL-3.0-or-later
#include "qtserialline.h"

#include "logging.h"

#include <QFile>

#include <cerrno>

#include <thread>

#if defined(Q_OS_UNIX)
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// Closing lets the last bytes leave first, for at most this long: a full command block takes
// 11 ms at 4800 baud, and a wedged adapter must not hold the window.
constexpr auto kDrainOnCloseLimit = std::chrono::milliseconds(200);

// Qt reports both a device this user may not open and one held by another program as a
// permission error; the user's fix differs, so ask the file system which one it is.
LineError openFailure(const QSerialPort &port, const QString &device) {
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        // A device that vanished since the table was built is as good as no device.
        return LineError::InvalidPortNumber;
    case QSerialPort::PermissionError:
#if defined(Q_OS_UNIX)
        if (!device.isEmpty() && ::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 &&
            errno == EACCES)
            return LineError::PermissionDenied;
#endif
        return LineError::PortInUse;
    default:
        return LineError::OpenFailed;
    }
}

} // namespace

QtSerialLine::QtSerialLine(PortTable table) : m_table(std::move(table)) {
    // A device that vanishes between polls shows first to Qt's read notifier, which would go
    // on waking for the dead descriptor. Queued: the port must not close under Qt's own call.
    QObject::connect(
        &m_port, &QSerialPort::errorOccurred, &m_port,
        [this](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::NoError || !m_port.isOpen())
                return;
            // Qt calls a full output buffer a resource error too; only a hang-up means gone.
            if (hungUp())
                lose("hung up");
        },
        Qt::QueuedConnection);
}

QtSerialLine::~QtSerialLine() {
    if (IsOpen())
        ClosePort();
}

LineError QtSerialLine::Configure(qint16 PortNum) {
    // Like the home control, the port cannot be changed under an open line.
    if (IsOpen()) {
        qCDebug(lcRadio) << "Configure" << qUtf8Printable(comName(PortNum))
                         << "refused:" << qUtf8Printable(comName(m_portNum)) << "is open";
        return LineError::OpenFailed;
    }
    m_portNum = PortNum;
    m_device = m_table.deviceFor(PortNum);
    m_port.setPortName(m_device);
    m_port.setBaudRate(kBaudRate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::TwoStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // Qt takes in at most this much; the rest waits in the OS until the next read.
    m_port.setReadBufferSize(kInputBufferSize);
    return LineError::None;
}

LineError QtSerialLine::ClearBuffers() {
    // Before opening nothing can be waiting; the search clears before it opens.
    if (m_lost)
        return LineError::ReadFailed;
    if (!m_port.isOpen())
        return LineError::None;
    if (!m_port.clear(QSerialPort::AllDirections)) {
        qCDebug(lcRadio) << "clear failed:" << m_port.errorString();
        m_port.clearError();
        return LineError::ReadFailed;
    }
    return LineError::None;
}

void QtSerialLine::lowerModemLines() {
    // Opening raises DTR and RTS, and many station interfaces key the transmitter from either;
    // Qt can only lower them on an open port. A pseudo-terminal has no modem lines at all;
    // that is no reason to give up on the port.
    if (!m_port.setDataTerminalReady(false)) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "DTR not cleared:" << m_port.errorString();
        m_port.clearError();
    }
    if (!m_port.setRequestToSend(false)) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "RTS not cleared:" << m_port.errorString();
        m_port.clearError();
    }
}

LineError QtSerialLine::openDevice() {
    if (!m_port.open(QIODevice::ReadWrite)) {
        const LineError error = openFailure(m_port, m_device);
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_port.portName()
                         << "did not open:" << m_port.errorString();
        m_port.clearError();
        return error;
    }
    lowerModemLines();
    m_stuck = false;
    return LineError::None;
}

LineError QtSerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    if (m_port.portName().isEmpty()) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "has no device";
        return LineError::InvalidPortNumber;
    }
    const LineError error = openDevice();
    if (error == LineError::None)
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "open on" << m_port.portName();
    return error;
}

bool QtSerialLine::IsOpen() const { return m_port.isOpen() || m_lost; }

QString QtSerialLine::deviceName() const { return m_device; }

bool QtSerialLine::hungUp() const {
#if defined(Q_OS_UNIX)
    if (!m_port.isOpen() || m_port.handle() < 0)
        return false;
    pollfd pfd{m_port.handle(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
    return m_port.error() == QSerialPort::ResourceError;
#endif
}

bool QtSerialLine::writable() const {
#if defined(Q_OS_UNIX)
    pollfd pfd{m_port.handle(), POLLOUT, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLOUT);
#else
    return true;
#endif
}

void QtSerialLine::lose(const char *why) {
    if (m_lost || !m_port.isOpen())
        return;
    // Give the descriptor back: nothing more is read from or written to it, and nothing
    // wakes for it. The program still holds the line; a read looks for the device's return.
    m_port.close();
    m_port.clearError();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "gone (" << why
                     << "), waiting for it to return";
}

LineError QtSerialLine::reopen() {
    if (!m_lost)
        return LineError::OpenFailed;
    // Only the path the line was opened on; no other port is tried in its place. A missing
    // path costs one stat.
    if (m_device.isEmpty() || !QFile::exists(m_device))
        return LineError::InvalidPortNumber;
    if (const LineError error = openDevice(); error != LineError::None)
        return error;
    m_lost = false;
    m_port.clear(QSerialPort::AllDirections);
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "back, reopened";
    return LineError::None;
}

void QtSerialLine::letGo() {
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "is back but not the radio; closed";
}

void QtSerialLine::moveToThread(QThread *thread) { m_port.moveToThread(thread); }

LineError QtSerialLine::ClosePort() {
    if (m_lost) {
        m_lost = false;
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed (device was gone)";
        return LineError::None;
    }
    if (!m_port.isOpen())
        return LineError::NotOpen;
    // Let the last bytes leave before the port's settings are restored and it closes; a
    // restore while the UART is still sending would garble them. A wedged adapter gets a
    // bounded wait, then its output is dropped, so that closing cannot hang.
    const auto limit = Clock::now() + kDrainOnCloseLimit;
    while (
        m_port.bytesToWrite() > 0 && Clock::now() < limit &&
        m_port.waitForBytesWritten(
            int(std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count()) + 1)) {
    }
#if defined(Q_OS_UNIX)
    int queued = 0;
    while (m_port.handle() >= 0 && ::ioctl(m_port.handle(), TIOCOUTQ, &queued) == 0 && queued > 0 &&
           Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
#endif
    if (m_port.bytesToWrite() > 0 || Clock::now() >= limit)
        m_port.clear(QSerialPort::Output);
    m_port.close();
    m_port.clearError();
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed";
    return LineError::None;
}

LineError QtSerialLine::WriteBytes(const QByteArray &bytes) {
    if (m_lost)
        return LineError::WriteFailed;
    if (!m_port.isOpen())
        return LineError::NotOpen;
    if (bytes.isEmpty())
        return LineError::None;
    // An adapter whose last write could not leave does not come free between two bytes of a
    // block: while it still takes nothing, fail at once instead of waiting again.
    if (m_stuck && !writable()) {
        qCDebug(lcRadio) << "write skipped: output still stuck";
        return LineError::WriteFailed;
    }
    auto fail = [this](const char *what) {
        qCDebug(lcRadio) << what << m_port.errorString();
        m_port.clearError();
        if (hungUp()) {
            lose("write failed");
            return LineError::WriteFailed;
        }
        // Bytes that could not leave now must not go out later, in the middle of another block.
        m_port.clear(QSerialPort::Output);
        m_port.clearError();
        m_stuck = true;
        return LineError::WriteFailed;
    };
    if (m_port.write(bytes) != bytes.size())
        return fail("write failed:");
    // No event loop runs on the owner's thread, so push the bytes out now.
    m_port.flush();
    const auto limit = Clock::now() + kWriteLimit;
    while (m_port.bytesToWrite() > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
        if (left <= 0 || !m_port.waitForBytesWritten(int(left)))
            return fail("write stalled:");
    }
    if (m_port.error() != QSerialPort::NoError)
        return fail("write failed:");
    m_stuck = false;
    return LineError::None;
}

bool QtSerialLine::pullIn() {
    if (hungUp()) {
        lose("hung up");
        return false;
    }
    // Without an event loop Qt never reads on its own: take in what the OS holds, until
    // nothing more comes or Qt's buffer is full.
    qint64 before = -1;
    while (m_port.bytesAvailable() != before && m_port.bytesAvailable() < kInputBufferSize) {
        before = m_port.bytesAvailable();
        if (!m_port.waitForReadyRead(0))
            break;
    }
    const QSerialPort::SerialPortError error = m_port.error();
    m_port.clearError();
    if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError) {
        qCDebug(lcRadio) << "read failed:" << error;
        if (hungUp())
            lose("read failed");
        return false;
    }
    return true;
}

std::optional<qint16> QtSerialLine::BytesWaiting() {
    if (!m_port.isOpen() || !pullIn())
        return std::nullopt;
    return static_cast<qint16>(std::min<qint64>(m_port.bytesAvailable(), kInputBufferSize));
}

std::optional<QByteArray> QtSerialLine::ReadAll() {
    if (!m_port.isOpen() || !pullIn())
        return std::nullopt;
    QByteArray bytes = m_port.read(kInputBufferSize);
    if (m_port.error() != QSerialPort::NoError) {
        qCDebug(lcRadio) << "read failed:" << m_port.errorString();
        m_port.clearError();
        return std::nullopt;
    }
    return bytes;
}

} // namespace quillon

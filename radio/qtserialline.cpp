#include "qtserialline.h"

#include "logging.h"

#include <QFile>

#include <cerrno>

#if defined(Q_OS_UNIX)
#include <termios.h>
#include <unistd.h>
#endif

namespace quillon {

namespace {

// Long enough for a full output buffer at 4800 baud, with room to spare.
constexpr int kWriteTimeoutMs = 3000;

// Qt reports both a device this user may not open and one held by another program as a
// permission error; the user's fix differs, so ask the file system which one it is.
LineError openFailure(const QSerialPort &port, const QString &device) {
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        // A device that vanished since the table was built is as good as no device.
        return LineError::InvalidPortNumber;
    case QSerialPort::PermissionError:
#if defined(Q_OS_UNIX)
        if (!device.isEmpty() && ::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return LineError::PermissionDenied;
#endif
        return LineError::PortInUse;
    default:
        return LineError::OpenFailed;
    }
}

} // namespace

QtSerialLine::QtSerialLine(PortTable table) : m_table(std::move(table)) {}

QtSerialLine::~QtSerialLine() {
    if (m_port.isOpen())
        ClosePort();
}

LineError QtSerialLine::Configure(qint16 PortNum) {
    // Like the home control, the port cannot be changed under an open line.
    if (m_port.isOpen()) {
        qCDebug(lcRadio) << "Configure" << qUtf8Printable(QStringLiteral("COM%1").arg(PortNum)) << "refused:" << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << "is open";
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
    if (!m_port.isOpen())
        return LineError::None;
    if (!m_port.clear(QSerialPort::AllDirections)) {
        qCDebug(lcRadio) << "clear failed:" << m_port.errorString();
        m_port.clearError();
        return LineError::ReadFailed;
    }
    return LineError::None;
}

LineError QtSerialLine::OpenPort() {
    if (m_port.isOpen())
        return LineError::OpenFailed;
    if (m_port.portName().isEmpty()) {
        qCDebug(lcRadio) << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << "has no device";
        return LineError::InvalidPortNumber;
    }
    if (!m_port.open(QIODevice::ReadWrite)) {
        const LineError error = openFailure(m_port, m_device);
        qCDebug(lcRadio) << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << m_port.portName()
                         << "did not open:" << m_port.errorString();
        m_port.clearError();
        return error;
    }
    // Opening raises DTR and Qt can only lower it on an open port. A pseudo-terminal cannot
    // do DTR at all; that is no reason to give up on the port.
    if (!m_port.setDataTerminalReady(false)) {
        qCDebug(lcRadio) << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << "DTR not cleared:" << m_port.errorString();
        m_port.clearError();
    }
    qCDebug(lcRadio) << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << "open on" << m_port.portName();
    return LineError::None;
}

bool QtSerialLine::IsOpen() const { return m_port.isOpen(); }

QString QtSerialLine::deviceName() const { return m_device; }

LineError QtSerialLine::ClosePort() {
    if (!m_port.isOpen())
        return LineError::NotOpen;
    // Let the last bytes leave before the port's settings are restored and it closes; a
    // restore while the UART is still sending would garble them.
    while (m_port.bytesToWrite() > 0 && m_port.waitForBytesWritten(kWriteTimeoutMs)) {
    }
#if defined(Q_OS_UNIX)
    if (m_port.handle() >= 0)
        ::tcdrain(m_port.handle());
#endif
    m_port.close();
    m_port.clearError();
    qCDebug(lcRadio) << qUtf8Printable(QStringLiteral("COM%1").arg(m_portNum)) << "closed";
    return LineError::None;
}

LineError QtSerialLine::WriteBytes(const QByteArray &bytes) {
    if (!m_port.isOpen())
        return LineError::NotOpen;
    if (bytes.isEmpty())
        return LineError::None;
    if (m_port.write(bytes) != bytes.size()) {
        qCDebug(lcRadio) << "write failed:" << m_port.errorString();
        m_port.clearError();
        return LineError::WriteFailed;
    }
    // No event loop runs during an exchange, so push the bytes out now.
    m_port.flush();
    while (m_port.bytesToWrite() > 0) {
        if (!m_port.waitForBytesWritten(kWriteTimeoutMs)) {
            qCDebug(lcRadio) << "write stalled:" << m_port.errorString();
            m_port.clearError();
            return LineError::WriteFailed;
        }
    }
    if (m_port.error() != QSerialPort::NoError) {
        qCDebug(lcRadio) << "write failed:" << m_port.errorString();
        m_port.clearError();
        return LineError::WriteFailed;
    }
    return LineError::None;
}

bool QtSerialLine::pullIn() {
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

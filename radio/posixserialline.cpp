// SPDX-License-Identifier: GPL-3.0-or-later
#include "posixserialline.h"

#include "logging.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// Closing lets the last bytes leave first, for at most this long: a full command block takes
// 11 ms at 4800 baud, and a wedged adapter must not hold the window.
constexpr auto kDrainOnCloseLimit = std::chrono::milliseconds(200);

// Where programs that take a serial port leave their UUCP-style lock file ("LCK..ttyUSB0",
// the holder's pid on its first line): minicom and every QSerialPort program do.
constexpr const char *kLockDirectories[] = {"/var/lock", "/run/lock", "/var/spool/locks", "/var/spool/uucp",
                                            "/etc/locks"};

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

LineError openFailure(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        // A device that vanished since the table was built is as good as no device.
        return LineError::InvalidPortNumber;
    case EACCES:
    case EPERM:
        return LineError::PermissionDenied;
    case EBUSY: // held exclusively (TIOCEXCL) by another program
        return LineError::PortInUse;
    default:
        return LineError::OpenFailed;
    }
}

// A lock file's name for a device as the lockers write it: the path without /dev/, with its
// slashes made underscores ("/dev/pts/3" -> "LCK..pts_3").
QByteArray lockFileName(const QByteArray &device) {
    QByteArray name = device.startsWith("/dev/") ? device.mid(5) : device;
    name.replace('/', '_');
    return "LCK.." + name;
}

// The pid in a lock file, when it names a process that still runs; 0 otherwise (no lock, or
// a stale one left by a program that died).
pid_t livingLockHolder(const QByteArray &path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    bool ok = false;
    const long pid = QByteArray(text, n).split('\n').value(0).trimmed().toLong(&ok);
    if (!ok || pid <= 0)
        return 0;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM ? pid_t(pid) : 0;
}

// Whether another program announced with a lock file that it holds the device, under the name
// it was given here or the device that name leads to (/dev/serial/by-id/... -> /dev/ttyUSB0).
pid_t lockFileHolder(const QString &device) {
    QList<QByteArray> names{lockFileName(QFile::encodeName(device))};
    if (char *real = ::realpath(QFile::encodeName(device).constData(), nullptr)) {
        const QByteArray canonical = lockFileName(QByteArray(real));
        std::free(real);
        if (!names.contains(canonical))
            names << canonical;
    }
    for (const char *dir : kLockDirectories)
        for (const QByteArray &name : names)
            if (const pid_t pid = livingLockHolder(QByteArray(dir) + '/' + name))
                return pid;
    return 0;
}

bool setRaw(int fd, const termios &from) {
    termios tio = from;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B4800);
    ::cfsetospeed(&tio, B4800);
    tio.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // VMIN 1: with nothing waiting a non-blocking read says EAGAIN, so that a read of 0 bytes
    // can only mean a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

PosixSerialLine::PosixSerialLine(PortTable table) : m_table(std::move(table)) {}

PosixSerialLine::~PosixSerialLine() {
    if (IsOpen())
        ClosePort();
}

LineError PosixSerialLine::Configure(qint16 PortNum) {
    // Like the home control, the port cannot be changed under an open line.
    if (IsOpen()) {
        qCDebug(lcRadio) << "Configure" << qUtf8Printable(comName(PortNum))
                         << "refused:" << qUtf8Printable(comName(m_portNum)) << "is open";
        return LineError::OpenFailed;
    }
    m_portNum = PortNum;
    m_device = m_table.deviceFor(PortNum);
    return LineError::None;
}

LineError PosixSerialLine::ClearBuffers() {
    // Before opening nothing can be waiting; the search clears before it opens.
    if (m_lost)
        return LineError::ReadFailed;
    if (m_fd < 0)
        return LineError::None;
    m_input.clear();
    if (::tcflush(m_fd, TCIOFLUSH) != 0) {
        qCDebug(lcRadio) << "clear failed:" << errorText(errno);
        return LineError::ReadFailed;
    }
    return LineError::None;
}

void PosixSerialLine::lowerModemLines() {
    // Opening raises DTR and RTS, and many station interfaces key the transmitter from either.
    // A pseudo-terminal has no modem lines at all; that is no reason to give up on the port.
    const int dtr = TIOCM_DTR;
    if (::ioctl(m_fd, TIOCMBIC, &dtr) != 0)
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "DTR not cleared:" << errorText(errno);
    const int rts = TIOCM_RTS;
    if (::ioctl(m_fd, TIOCMBIC, &rts) != 0)
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "RTS not cleared:" << errorText(errno);
}

LineError PosixSerialLine::openDevice() {
    const QByteArray path = QFile::encodeName(m_device);
    const auto refuse = [this](LineError error, const QString &why) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "did not open:" << why;
        return error;
    };
    int fd;
    do
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        return refuse(openFailure(error), errorText(error));
    }
    const auto give = [fd, &refuse](LineError error, const QString &why) {
        ::close(fd);
        return refuse(error, why);
    };
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        return give(LineError::OpenFailed, errorText(errno));
    // Two stations' programs writing into one radio garble each other's commands: take the
    // device for ourselves, and leave it to whoever has it already. flock covers programs of
    // any user (root too, which TIOCEXCL does not stop), the lock file those that announce
    // their hold that way.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return give(error == EWOULDBLOCK ? LineError::PortInUse : LineError::OpenFailed, errorText(error));
    }
    if (const pid_t holder = lockFileHolder(m_device))
        return give(LineError::PortInUse, QStringLiteral("locked by process %1").arg(holder));
    if (::ioctl(fd, TIOCEXCL) != 0)
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "not held exclusively:" << errorText(errno);
    if (!setRaw(fd, saved)) {
        const int error = errno;
        ::ioctl(fd, TIOCNXCL);
        return give(LineError::OpenFailed, errorText(error));
    }
    // What waits in the port came before anything was asked (a reply in flight when another
    // program closed it, an adapter's buffer): read with the probe's reply it would be taken
    // for the radio's, or make the radio's look wrong.
    ::tcflush(fd, TCIFLUSH);
    m_fd = fd;
    m_saved = saved;
    m_input.clear();
    lowerModemLines();
    m_stuck = false;
    return LineError::None;
}

LineError PosixSerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    if (m_device.isEmpty()) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "has no device";
        return LineError::InvalidPortNumber;
    }
    const LineError error = openDevice();
    if (error == LineError::None)
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "open on" << m_device;
    return error;
}

bool PosixSerialLine::IsOpen() const { return m_fd >= 0 || m_lost; }

QString PosixSerialLine::deviceName() const { return m_device; }

bool PosixSerialLine::hungUp() const {
    if (m_fd < 0)
        return false;
    pollfd pfd{m_fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
}

bool PosixSerialLine::writable() const {
    pollfd pfd{m_fd, POLLOUT, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLOUT);
}

void PosixSerialLine::closeDescriptor(bool restore) {
    if (m_fd < 0)
        return;
    if (restore) {
        ::tcsetattr(m_fd, TCSANOW, &m_saved);
        ::ioctl(m_fd, TIOCNXCL);
    }
    ::close(m_fd); // also gives up the flock
    m_fd = -1;
    m_input.clear();
}

void PosixSerialLine::lose(const char *why) {
    if (m_lost || m_fd < 0)
        return;
    // Give the descriptor back: nothing more is read from or written to it, and nothing
    // wakes for it. The program still holds the line; a read looks for the device's return.
    closeDescriptor(false);
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "gone (" << why
                     << "), waiting for it to return";
}

LineError PosixSerialLine::reopen() {
    if (!m_lost)
        return LineError::OpenFailed;
    // Only the path the line was opened on; no other port is tried in its place. A missing
    // path costs one stat.
    struct stat st {};
    if (m_device.isEmpty() || ::stat(QFile::encodeName(m_device).constData(), &st) != 0)
        return LineError::InvalidPortNumber;
    if (const LineError error = openDevice(); error != LineError::None)
        return error;
    m_lost = false;
    ::tcflush(m_fd, TCIOFLUSH);
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "back, reopened";
    return LineError::None;
}

void PosixSerialLine::letGo() {
    closeDescriptor(true);
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << m_device << "is back but not the radio; closed";
}

LineError PosixSerialLine::ClosePort() {
    if (m_lost) {
        m_lost = false;
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed (device was gone)";
        return LineError::None;
    }
    if (m_fd < 0)
        return LineError::NotOpen;
    // Let the last bytes leave before the port's settings are restored and it closes; a
    // restore while the UART is still sending would garble them. A wedged adapter gets a
    // bounded wait (tcdrain has none), then its output is dropped, so that closing cannot hang.
    const auto limit = Clock::now() + kDrainOnCloseLimit;
    int queued = 0;
    while (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (queued > 0)
        ::tcflush(m_fd, TCOFLUSH);
    closeDescriptor(true);
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed";
    return LineError::None;
}

LineError PosixSerialLine::failWrite(const char *what, int error) {
    qCDebug(lcRadio) << what << errorText(error);
    if (hungUp()) {
        lose("write failed");
        return LineError::WriteFailed;
    }
    // Bytes that could not leave now must not go out later, in the middle of another block.
    ::tcflush(m_fd, TCOFLUSH);
    m_stuck = true;
    return LineError::WriteFailed;
}

LineError PosixSerialLine::WriteBytes(const QByteArray &bytes) {
    if (m_lost)
        return LineError::WriteFailed;
    if (m_fd < 0)
        return LineError::NotOpen;
    if (bytes.isEmpty())
        return LineError::None;
    // An adapter whose last write could not leave does not come free between two bytes of a
    // block: while it still takes nothing, fail at once instead of waiting again.
    if (m_stuck && !writable()) {
        qCDebug(lcRadio) << "write skipped: output still stuck";
        return LineError::WriteFailed;
    }
    const auto limit = Clock::now() + kWriteLimit;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent));
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failWrite("write failed:", errno);
        // The device's buffer is full: wait for room, within the write's limit.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - Clock::now()).count();
        if (left <= 0)
            return failWrite("write stalled:", ETIMEDOUT);
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, int(left)) < 0 && errno != EINTR)
            return failWrite("write failed:", errno);
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))
            return failWrite("write failed:", EIO);
    }
    m_stuck = false;
    return LineError::None;
}

bool PosixSerialLine::pullIn() {
    // Take in what the OS holds, until nothing more comes or the buffer is full; what is over
    // waits in the OS until the next read.
    while (m_input.size() < kInputBufferSize) {
        char buf[kInputBufferSize];
        const qsizetype room = kInputBufferSize - m_input.size();
        const ssize_t n = ::read(m_fd, buf, size_t(room));
        if (n > 0) {
            m_input.append(buf, n);
            if (n < room) // all there was
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n == 0) {
            // Nothing to read and no error: only a hung-up device does that in this mode.
            if (!hungUp())
                return true;
            lose("hung up");
            return false;
        }
        const int error = errno;
        qCDebug(lcRadio) << "read failed:" << errorText(error);
        if (error == EIO || error == ENXIO || error == ENODEV || hungUp())
            lose("read failed");
        return false;
    }
    // Full: nothing is read, but a hang-up must still show.
    if (hungUp()) {
        lose("hung up");
        return false;
    }
    return true;
}

std::optional<qint16> PosixSerialLine::BytesWaiting() {
    if (m_fd < 0 || !pullIn())
        return std::nullopt;
    return static_cast<qint16>(m_input.size());
}

std::optional<QByteArray> PosixSerialLine::ReadAll() {
    if (m_fd < 0 || !pullIn())
        return std::nullopt;
    QByteArray bytes;
    bytes.swap(m_input);
    return bytes;
}

void PosixSerialLine::waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) {
    // Gone or closed: the read that follows says so at once.
    if (m_fd < 0)
        return;
    // With the buffer full the descriptor may stay readable with what waits in the OS; waiting
    // on it would spin, so look again after a tick.
    if (m_input.size() >= kInputBufferSize) {
        clock.sleepUntil(std::min(deadline, clock.now() + kInputTick));
        return;
    }
    clock.waitReadable(m_fd, deadline);
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "tcpserialline.h"

#include "logging.h"

#include <QHostInfo>
#include <QNetworkProxy>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace quillon {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// The system's resolver may take far longer than the window can wait when a name server does
// not answer, and cannot be cancelled: it runs on a thread of its own, and a lookup still
// running at the deadline is left to finish there.
std::optional<QHostInfo> lookUp(const QString &host, Clock::time_point deadline) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<QHostInfo> info;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        QHostInfo info = QHostInfo::fromName(host);
        const std::lock_guard lock(lookup->mutex);
        lookup->info = std::move(info);
        lookup->done.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->info.has_value(); }))
        return std::nullopt;
    return lookup->info;
}

// A connection started without Qt: Qt finishes its own only in the event loop (while it
// connects it does not even tell its socket), but the line must get there from its reads.
qintptr startConnecting(const QHostAddress &address, quint16 port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV; // an address with its scope: nothing to look up
    addrinfo *found = nullptr;
    if (::getaddrinfo(address.toString().toLatin1().constData(), QByteArray::number(port).constData(), &hints,
                      &found) != 0)
        return -1;
#if defined(Q_OS_WIN)
    SOCKET s = ::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    const bool started =
        s != INVALID_SOCKET && ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0 &&
        (::connect(s, found->ai_addr, int(found->ai_addrlen)) == 0 || ::WSAGetLastError() == WSAEWOULDBLOCK);
    ::freeaddrinfo(found);
    if (!started && s != INVALID_SOCKET)
        ::closesocket(s);
    return started ? qintptr(s) : -1;
#else
    const int s = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool started =
        s >= 0 && (::connect(s, found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
    ::freeaddrinfo(found);
    if (!started && s >= 0)
        ::close(s);
    return started ? s : -1;
#endif
}

enum class Connecting { Waiting, Made, Failed };

Connecting progressOf(qintptr socket) {
    int error = 0;
#if defined(Q_OS_WIN)
    // A failed connection shows among the exceptions on Windows, not as writable.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(SOCKET(socket), &writable);
    FD_SET(SOCKET(socket), &failed);
    timeval now{0, 0};
    if (::select(0, nullptr, &writable, &failed, &now) <= 0)
        return Connecting::Waiting;
    int length = sizeof error;
    ::getsockopt(SOCKET(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length);
    return FD_ISSET(SOCKET(socket), &failed) || error != 0 ? Connecting::Failed : Connecting::Made;
#else
    pollfd pfd{int(socket), POLLOUT, 0};
    if (::poll(&pfd, 1, 0) <= 0)
        return Connecting::Waiting;
    socklen_t length = sizeof error;
    ::getsockopt(int(socket), SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? Connecting::Made : Connecting::Failed;
#endif
}

void closeSocket(qintptr socket) {
#if defined(Q_OS_WIN)
    ::closesocket(SOCKET(socket));
#else
    ::close(int(socket));
#endif
}

LineError connectFailure(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return LineError::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return LineError::HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return LineError::TimedOut;
    default:
        return LineError::OpenFailed;
    }
}

} // namespace

TcpSerialLine::TcpSerialLine(QString host, quint16 port) : m_host(std::move(host)), m_port(port) {
    // A serial server is reached directly, never through a proxy the application might set.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    // Qt takes in at most this much; the rest waits in the system until the next read.
    m_socket.setReadBufferSize(kInputBufferSize);
}

TcpSerialLine::~TcpSerialLine() {
    if (IsOpen())
        ClosePort();
}

LineError TcpSerialLine::Configure(qint16 PortNum) {
    // As on the serial lines, nothing changes under an open line. The server owns the port's
    // settings, and the line has only the one address.
    Q_UNUSED(PortNum);
    return IsOpen() ? LineError::OpenFailed : LineError::None;
}

QString TcpSerialLine::deviceName() const {
    const bool v6 = m_host.contains(QLatin1Char(':'));
    return QStringLiteral("%1%2%3:%4")
        .arg(v6 ? QStringLiteral("[") : QString(), m_host, v6 ? QStringLiteral("]") : QString())
        .arg(m_port);
}

void TcpSerialLine::dropUnasked(Clock::duration connecting) {
    // Bytes the server sends before anything was asked are no answer: what the radio sent while
    // no one was connected, the rest of a reply meant for the connection before. They come
    // within a round trip (connecting took one) and the server's own gathering of input.
    const auto until = Clock::now() + std::clamp<Clock::duration>(connecting + 50ms, 50ms, 500ms);
    QByteArray dropped;
    while (connected() && msLeft(until) > 0) {
        if (m_socket.waitForReadyRead(msLeft(until)))
            dropped += m_socket.readAll();
        else if (connected() && msLeft(until) > 0)
            std::this_thread::sleep_for(2ms); // gave up early (Windows may): do not spin
    }
    dropped += m_socket.readAll();
    if (!dropped.isEmpty()) // ser2net's own complaints are text
        qCDebug(lcRadio) << qUtf8Printable(deviceName())
                         << "dropped what came before anything was asked:" << dropped;
}

void TcpSerialLine::setUpConnection() {
    // Status requests go out a byte at a time; none may wait for the one before to be
    // acknowledged.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
#if defined(Q_OS_LINUX)
    // A link that goes dead without a word (a router down, a radio site losing power) would
    // otherwise look connected for many minutes while the polls' bytes pile up unsent: give it
    // up once sent bytes have gone unacknowledged this long, and connect again.
    const unsigned int unacknowledged = 5000;
    ::setsockopt(int(m_socket.socketDescriptor()), IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged,
                 sizeof unacknowledged);
#elif defined(Q_OS_WIN)
    // The same in whole seconds (TCP_MAXRT, which MinGW's headers do not name). Without it Windows
    // retransmits for about 20 s. Wine refuses the option, and there the longer wait stays.
    constexpr int kTcpMaxRt = 5;
    const DWORD unacknowledgedSeconds = 5;
    ::setsockopt(SOCKET(m_socket.socketDescriptor()), IPPROTO_TCP, kTcpMaxRt,
                 reinterpret_cast<const char *>(&unacknowledgedSeconds), sizeof unacknowledgedSeconds);
#endif
}

LineError TcpSerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    const auto deadline = Clock::now() + kConnectLimit;
    QList<QHostAddress> addresses;
    if (QHostAddress literal; literal.setAddress(m_host)) {
        addresses << literal;
    } else {
        const std::optional<QHostInfo> info = lookUp(m_host, deadline);
        if (!info) {
            qCDebug(lcRadio) << m_host << "lookup timed out";
            return LineError::TimedOut;
        }
        if (info->error() != QHostInfo::NoError || info->addresses().isEmpty()) {
            qCDebug(lcRadio) << m_host << "not found:" << info->errorString();
            return LineError::HostNotFound;
        }
        addresses = info->addresses();
    }
    // A name may lead to several addresses (::1 and 127.0.0.1 for localhost); the server may
    // listen on only one. Refused says more than timed out, so it is the one reported.
    LineError result = LineError::TimedOut;
    for (const QHostAddress &address : std::as_const(addresses)) {
        if (msLeft(deadline) == 0)
            break;
        const auto start = Clock::now();
        m_socket.connectToHost(address, m_port);
        if (m_socket.waitForConnected(msLeft(deadline))) {
            m_address = address;
            m_open = true;
            m_lost = false;
            setUpConnection();
            dropUnasked(Clock::now() - start);
            if (!connected()) {
                // ser2net does so when it cannot open the device, or serves another client.
                qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "closed by the server at once";
                m_socket.abort();
                m_open = false;
                return LineError::ConnectionClosed;
            }
            qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected to" << address.toString();
            return LineError::None;
        }
        const LineError error = connectFailure(m_socket.error());
        qCDebug(lcRadio) << qUtf8Printable(deviceName()) << address.toString()
                         << "did not connect:" << m_socket.errorString();
        m_socket.abort();
        if (result != LineError::ConnectionRefused)
            result = error;
    }
    return result;
}

bool TcpSerialLine::IsOpen() const { return m_open; }

LineError TcpSerialLine::ClosePort() {
    if (!IsOpen())
        return LineError::NotOpen;
    // Writes only return once their bytes are with the system, which sends them after the close.
    dropConnecting();
    m_socket.abort();
    m_open = false;
    m_lost = false;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "closed";
    return LineError::None;
}

void TcpSerialLine::lose(const char *why) {
    if (m_lost)
        return;
    // A connection closed by the server is already released, and what it sent before is still
    // read; one this side gives up (stalled, dead) is dropped with the bytes queued on it, which
    // must not reach the radio late.
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connection lost (" << why << "), connecting again";
}

LineError TcpSerialLine::reopen() {
    if (!m_lost)
        return LineError::OpenFailed;
    const auto now = Clock::now();
    if (m_connecting < 0) {
        // Also drops whatever the old connection left unread.
        m_socket.abort();
        m_connectStart = now;
        m_connecting = startConnecting(m_address, m_port);
        if (m_connecting < 0)
            return LineError::OpenFailed;
    }
    // The try goes on by itself; each call only asks how far it got. One that hangs (the
    // remote machine unreachable) is given up, and the owner makes another.
    switch (progressOf(m_connecting)) {
    case Connecting::Waiting:
        if (now - m_connectStart >= kConnectLimit) {
            dropConnecting();
            return LineError::TimedOut;
        }
        return LineError::OpenFailed;
    case Connecting::Failed:
        dropConnecting();
        return LineError::ConnectionRefused;
    case Connecting::Made:
        break;
    }
    const qintptr made = std::exchange(m_connecting, -1);
    if (!m_socket.setSocketDescriptor(made)) {
        closeSocket(made);
        return LineError::OpenFailed;
    }
    setUpConnection();
    dropUnasked(Clock::now() - m_connectStart);
    if (!connected())
        return LineError::ConnectionClosed;
    m_lost = false;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected again";
    return LineError::None;
}

void TcpSerialLine::letGo() {
    m_socket.abort();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected again but not to the radio; closed";
}

void TcpSerialLine::moveToThread(QThread *thread) { m_socket.moveToThread(thread); }

void TcpSerialLine::dropConnecting() {
    if (m_connecting >= 0)
        closeSocket(m_connecting);
    m_connecting = -1;
}

void TcpSerialLine::takeIn() {
    if (!m_open || m_lost)
        return;
    if (!connected()) {
        // Closed between polls, while the event loop ran.
        lose("closed");
        return;
    }
    // Without an event loop Qt never reads on its own: take in what the system holds, until
    // nothing more comes or Qt's buffer is full.
    qint64 before = -1;
    while (connected() && m_socket.bytesAvailable() != before &&
           m_socket.bytesAvailable() < kInputBufferSize) {
        before = m_socket.bytesAvailable();
        if (!m_socket.waitForReadyRead(0))
            break;
    }
    if (!connected())
        lose(m_socket.error() == QAbstractSocket::RemoteHostClosedError ? "closed by the server" : "failed");
}

LineError TcpSerialLine::ClearBuffers() {
    if (m_lost)
        return LineError::ReadFailed;
    // Before opening nothing can be waiting; the search clears before it opens.
    if (!m_open)
        return LineError::None;
    while (connected() && m_socket.waitForReadyRead(0))
        m_socket.readAll();
    m_socket.readAll();
    return connected() ? LineError::None : LineError::ReadFailed;
}

LineError TcpSerialLine::WriteBytes(const QByteArray &bytes) {
    if (!m_open)
        return LineError::NotOpen;
    if (!m_lost && !connected())
        lose("closed");
    if (m_lost)
        return LineError::WriteFailed;
    if (bytes.isEmpty())
        return LineError::None;
    if (m_socket.write(bytes) != bytes.size()) {
        lose("write failed");
        return LineError::WriteFailed;
    }
    // No event loop runs on the owner's thread, so hand the bytes to the system now. They only
    // stay with Qt when the system's buffer is full: the far end has stopped taking them.
    m_socket.flush();
    const auto limit = Clock::now() + kWriteLimit;
    while (connected() && m_socket.bytesToWrite() > 0) {
        if (msLeft(limit) == 0 || !m_socket.waitForBytesWritten(msLeft(limit))) {
            lose("write stalled");
            return LineError::WriteFailed;
        }
    }
    if (!connected()) {
        lose("closed while writing");
        return LineError::WriteFailed;
    }
    return LineError::None;
}

std::optional<qint16> TcpSerialLine::BytesWaiting() {
    takeIn();
    // What came before a connection was closed is still read, then the line fails.
    if (!m_open || (m_lost && m_socket.bytesAvailable() == 0))
        return std::nullopt;
    return static_cast<qint16>(std::min<qint64>(m_socket.bytesAvailable(), kInputBufferSize));
}

std::optional<QByteArray> TcpSerialLine::ReadAll() {
    takeIn();
    if (!m_open || (m_lost && m_socket.bytesAvailable() == 0))
        return std::nullopt;
    return m_socket.read(kInputBufferSize);
}

} // namespace quillon

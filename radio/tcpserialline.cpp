// SPDX-License-Identifier: GPL-3.0-or-later
#include "tcpserialline.h"

#include "logging.h"

#include <QUrl>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quillon {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Rounded up, so that a wait never ends just before its deadline and is made again at once.
int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 1000000)) : 0;
}

#if defined(Q_OS_WIN)
SOCKET native(qintptr s) { return SOCKET(s); }
int lastError() { return ::WSAGetLastError(); }
bool wouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool interrupted(int error) { return error == WSAEINTR; }
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kTimedOut = WSAETIMEDOUT;
QString errorText(int error) { return QStringLiteral("Winsock error %1").arg(error); }
// Windows counts the users of its socket library; each begins and ends its own use.
bool startWinsock() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
#else
int native(qintptr s) { return int(s); }
int lastError() { return errno; }
bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool interrupted(int error) { return error == EINTR; }
constexpr int kRefused = ECONNREFUSED;
constexpr int kTimedOut = ETIMEDOUT;
QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
#endif

void closeSocket(qintptr s) {
#if defined(Q_OS_WIN)
    ::closesocket(native(s));
#else
    ::close(native(s));
#endif
}

// A sockaddr kept as bytes, copied out where it is used so that it is properly aligned.
sockaddr_storage storageOf(const QByteArray &address) {
    sockaddr_storage a{};
    std::memcpy(&a, address.constData(), std::min<size_t>(size_t(address.size()), sizeof a));
    return a;
}

QString addressText(const QByteArray &address) {
    const sockaddr_storage a = storageOf(address);
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&a), socklen_t(address.size()), text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) != 0)
        return QStringLiteral("(an address)");
    return QString::fromLatin1(text);
}

std::vector<QByteArray> addressesOf(const addrinfo *found) {
    std::vector<QByteArray> addresses;
    for (const addrinfo *a = found; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || !a->ai_addr)
            continue;
        QByteArray address(reinterpret_cast<const char *>(a->ai_addr), qsizetype(a->ai_addrlen));
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(std::move(address));
    }
    return addresses;
}

enum class Ready { No, Yes, Failed };

// Until the socket can be read (or written) or the deadline passes. A socket that has failed or
// been closed counts as ready: the call that follows says how.
Ready waitFor(qintptr s, bool forWriting, Clock::time_point deadline) {
#if defined(Q_OS_WIN)
    // A failed connection shows among the exceptions on Windows, not as writable.
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(native(s), &wanted);
    FD_SET(native(s), &failed);
    const int ms = msUntil(deadline);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    const int n = ::select(0, forWriting ? nullptr : &wanted, forWriting ? &wanted : nullptr,
                           forWriting ? &failed : nullptr, &timeout);
    if (n < 0)
        return Ready::Failed;
    if (n == 0)
        return Ready::No;
    return forWriting && FD_ISSET(native(s), &failed) ? Ready::Failed : Ready::Yes;
#else
    pollfd pfd{native(s), short(forWriting ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int n = ::poll(&pfd, 1, msUntil(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Ready::Failed;
        return n == 0 ? Ready::No : Ready::Yes;
    }
#endif
}

// Connections are made without blocking, so that each wait has its own deadline.
qintptr startConnecting(const QByteArray &address, int &error) {
    const sockaddr_storage a = storageOf(address);
    const auto *where = reinterpret_cast<const sockaddr *>(&a);
#if defined(Q_OS_WIN)
    const SOCKET s = ::socket(a.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = lastError();
        return -1;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        (::connect(s, where, int(address.size())) != 0 && !wouldBlock(lastError()))) {
        error = lastError();
        ::closesocket(s);
        return -1;
    }
    return qintptr(s);
#else
    const int s = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = errno;
        return -1;
    }
    if (::connect(s, where, socklen_t(address.size())) != 0 && errno != EINPROGRESS) {
        error = errno;
        ::close(s);
        return -1;
    }
    return s;
#endif
}

enum class Connecting { Waiting, Made, Failed };

Connecting progressOf(qintptr s, Clock::time_point deadline, int &error) {
    const Ready ready = waitFor(s, true, deadline);
    if (ready == Ready::No)
        return Connecting::Waiting;
    error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length);
    return ready == Ready::Failed || error != 0 ? Connecting::Failed : Connecting::Made;
}

enum class Got { Bytes, Nothing, Closed, Failed };

// One non-blocking read of at most `capacity` (> 0) bytes.
Got receive(qintptr s, char *into, int capacity, int &count) {
    for (;;) {
        const auto n = ::recv(native(s), into, capacity, 0);
        if (n > 0) {
            count = int(n);
            return Got::Bytes;
        }
        if (n == 0)
            return Got::Closed;
        const int error = lastError();
        if (interrupted(error))
            continue;
        return wouldBlock(error) ? Got::Nothing : Got::Failed;
    }
}

enum class Sent { Some, Full, Failed };

Sent transmit(qintptr s, const char *from, int length, int &count) {
    for (;;) {
#if defined(Q_OS_WIN)
        const auto n = ::send(native(s), from, length, 0);
#else
        // A connection the far end has reset must fail the write, not end the program.
        const auto n = ::send(native(s), from, size_t(length), MSG_NOSIGNAL);
#endif
        if (n >= 0) {
            count = int(n);
            return Sent::Some;
        }
        const int error = lastError();
        if (interrupted(error))
            continue;
        return wouldBlock(error) ? Sent::Full : Sent::Failed;
    }
}

// One name lookup, shared by the line that waits for it and the thread that makes it: whichever
// goes last frees it, so the thread never touches anything of the line.
struct Lookup {
    Lookup(QByteArray name, QByteArray service, TcpSerialLine::Resolver resolve)
        : name(std::move(name)), service(std::move(service)), resolve(resolve) {}
    ~Lookup() {
        if (found)
            ::freeaddrinfo(found);
    }
    Lookup(const Lookup &) = delete;
    Lookup &operator=(const Lookup &) = delete;

    const QByteArray name;
    const QByteArray service;
    const TcpSerialLine::Resolver resolve;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int status = 0;
    addrinfo *found = nullptr;
};

// The system's resolver, as a plain function whatever the system's calling convention.
int systemResolve(const char *host, const char *service, const addrinfo *hints, addrinfo **found) {
    return ::getaddrinfo(host, service, hints, found);
}

void runLookup(Lookup &lookup) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int status = lookup.resolve(lookup.name.constData(), lookup.service.constData(), &hints, &found);
    {
        const std::lock_guard lock(lookup.mutex);
        lookup.status = status;
        if (status == 0)
            lookup.found = found;
        else if (found)
            ::freeaddrinfo(found);
        lookup.done = true;
    }
    lookup.finished.notify_all();
}

// The system's resolver may take far longer than an open can wait when a name server does not
// answer, and cannot be cancelled. A lookup still running when its open gave up is kept here
// until it ends, and its thread joined then: at the next lookup, or at the program's end, which
// waits for it a little (endLookups).
class LookupReaper {
public:
    static LookupReaper &instance() {
        static LookupReaper reaper;
        return reaper;
    }

    void adopt(std::thread thread, std::shared_ptr<Lookup> lookup) {
        const std::lock_guard lock(m_mutex);
        m_left.push_back({std::move(thread), std::move(lookup)});
        joinFinishedLocked();
    }

    void joinFinished() {
        const std::lock_guard lock(m_mutex);
        joinFinishedLocked();
    }

    bool end(std::chrono::milliseconds bound) {
        const auto deadline = Clock::now() + bound;
        const std::lock_guard lock(m_mutex);
        for (Left &left : m_left) {
            std::unique_lock lookupLock(left.lookup->mutex);
            left.lookup->finished.wait_until(lookupLock, deadline, [&] { return left.lookup->done; });
        }
        joinFinishedLocked();
        return m_left.empty();
    }

    ~LookupReaper() {
        // Only a program that did not end its lookups itself gets here, after main(): a thread
        // may not run on while the statics go, so the process ends with it.
        if (!end(TcpSerialLine::kExitLookupLimit)) {
            std::fputs("a name lookup was still running at exit\n", stderr);
            std::fflush(nullptr);
            std::_Exit(EXIT_FAILURE);
        }
    }

private:
    LookupReaper() = default;

    struct Left {
        std::thread thread;
        std::shared_ptr<Lookup> lookup;
    };

    void joinFinishedLocked() {
        // Joining one that is done waits only for its last few instructions.
        std::erase_if(m_left, [](Left &left) {
            {
                const std::lock_guard lookupLock(left.lookup->mutex);
                if (!left.lookup->done)
                    return false;
            }
            left.thread.join();
            return true;
        });
    }

    std::mutex m_mutex;
    std::vector<Left> m_left;
};

} // namespace

bool TcpSerialLine::endLookups(std::chrono::milliseconds bound) {
    return LookupReaper::instance().end(bound);
}

TcpSerialLine::TcpSerialLine(QString host, quint16 port, Resolver resolver)
    : m_host(std::move(host)), m_port(port), m_resolver(resolver ? resolver : &systemResolve) {
#if defined(Q_OS_WIN)
    m_winsock = startWinsock();
#endif
}

TcpSerialLine::~TcpSerialLine() {
    if (IsOpen())
        ClosePort();
    dropConnecting();
#if defined(Q_OS_WIN)
    if (m_winsock)
        ::WSACleanup();
#endif
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

bool TcpSerialLine::dropUnasked(Clock::duration connecting) {
    // Bytes the server sends before anything was asked are no answer: what the radio sent while
    // no one was connected, the rest of a reply meant for the connection before. They come
    // within a round trip (connecting took one) and the server's own gathering of input.
    const auto until = Clock::now() + std::clamp<Clock::duration>(connecting + 50ms, 50ms, 500ms);
    QByteArray dropped;
    qsizetype droppedCount = 0;
    bool open = true;
    while (open && Clock::now() < until) {
        const Ready ready = waitFor(m_socket, false, until);
        if (ready == Ready::No)
            break;
        char buffer[kInputBufferSize];
        int count = 0;
        switch (ready == Ready::Failed ? Got::Failed : receive(m_socket, buffer, int(sizeof buffer), count)) {
        case Got::Bytes:
            droppedCount += count;
            dropped.append(buffer, std::min<qsizetype>(count, kInputBufferSize - dropped.size()));
            break;
        case Got::Nothing:
            std::this_thread::sleep_for(2ms); // readable with nothing to read: do not spin
            break;
        case Got::Closed:
        case Got::Failed:
            open = false;
            break;
        }
    }
    if (droppedCount > 0) // ser2net's own complaints are text
        qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "dropped what came before anything was asked ("
                         << droppedCount << "bytes):" << dropped;
    return open;
}

void TcpSerialLine::setUpConnection() {
    // Status requests go out a byte at a time; none may wait for the one before to be
    // acknowledged.
    const int one = 1;
    ::setsockopt(native(m_socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
                 sizeof one);
#if defined(Q_OS_LINUX)
    // A link that goes dead without a word (a router down, a radio site losing power) would
    // otherwise look connected for many minutes while the polls' bytes pile up unsent: give it
    // up once sent bytes have gone unacknowledged this long, and connect again.
    const unsigned int unacknowledged = 5000;
    ::setsockopt(native(m_socket), IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
#elif defined(Q_OS_WIN)
    // The same in whole seconds (TCP_MAXRT, which MinGW's headers do not name). Without it Windows
    // retransmits for about 20 s. Wine refuses the option, and there the longer wait stays.
    constexpr int kTcpMaxRt = 5;
    const DWORD unacknowledgedSeconds = 5;
    ::setsockopt(native(m_socket), IPPROTO_TCP, kTcpMaxRt,
                 reinterpret_cast<const char *>(&unacknowledgedSeconds), sizeof unacknowledgedSeconds);
#endif
}

LineError TcpSerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    const auto deadline = Clock::now() + kConnectLimit;
    const QByteArray service = QByteArray::number(m_port);
    std::vector<QByteArray> addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV; // an address with its scope: nothing to look up
    addrinfo *literal = nullptr;
    if (::getaddrinfo(m_host.toLatin1().constData(), service.constData(), &hints, &literal) == 0) {
        addresses = addressesOf(literal);
        ::freeaddrinfo(literal);
    } else {
        // A name the system may have to ask a name server for: on a thread of its own, since
        // the answer may never come in time.
        QByteArray name = QUrl::toAce(m_host);
        if (name.isEmpty())
            name = m_host.toUtf8();
        LookupReaper::instance().joinFinished();
        auto lookup = std::make_shared<Lookup>(name, service, m_resolver);
        std::thread thread;
        try {
            thread = std::thread([lookup]() mutable {
#if defined(Q_OS_WIN)
                const bool winsock = startWinsock();
#endif
                runLookup(*lookup);
                lookup.reset();
#if defined(Q_OS_WIN)
                if (winsock)
                    ::WSACleanup();
#endif
            });
        } catch (const std::system_error &e) {
            qCWarning(lcRadio) << m_host << "cannot be looked up:" << e.what();
            return LineError::OpenFailed;
        }
        {
            std::unique_lock lock(lookup->mutex);
            if (!lookup->finished.wait_until(lock, deadline, [&] { return lookup->done; })) {
                lock.unlock();
                LookupReaper::instance().adopt(std::move(thread), std::move(lookup));
                qCDebug(lcRadio) << m_host << "lookup timed out";
                return LineError::TimedOut;
            }
        }
        thread.join();
        if (lookup->status != 0 || !lookup->found) {
            qCDebug(lcRadio) << m_host << "not found:" << ::gai_strerror(lookup->status);
            return LineError::HostNotFound;
        }
        addresses = addressesOf(lookup->found);
        if (addresses.empty()) {
            qCDebug(lcRadio) << m_host << "not found: no address to connect to";
            return LineError::HostNotFound;
        }
    }
    // A name may lead to several addresses (::1 and 127.0.0.1 for localhost); the server may
    // listen on only one. Refused says more than timed out, so it is the one reported.
    LineError result = LineError::TimedOut;
    for (const QByteArray &address : addresses) {
        if (msLeft(deadline) == 0)
            break;
        const QString text = addressText(address);
        const auto start = Clock::now();
        int error = 0;
        const qintptr s = startConnecting(address, error);
        const Connecting progress = s < 0 ? Connecting::Failed : progressOf(s, deadline, error);
        if (progress == Connecting::Made) {
            m_socket = s;
            m_address = address;
            m_addressText = text;
            m_input.clear();
            m_open = true;
            m_lost = false;
            setUpConnection();
            if (!dropUnasked(Clock::now() - start)) {
                // ser2net does so when it cannot open the device, or serves another client.
                qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "closed by the server at once";
                closeConnection(false);
                m_open = false;
                return LineError::ConnectionClosed;
            }
            qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected to" << text;
            return LineError::None;
        }
        if (s >= 0)
            closeSocket(s);
        const bool timedOut = progress == Connecting::Waiting || error == kTimedOut;
        qCDebug(lcRadio) << qUtf8Printable(deviceName()) << text << "did not connect:"
                         << (progress == Connecting::Waiting ? QStringLiteral("timed out")
                                                             : errorText(error));
        if (result != LineError::ConnectionRefused)
            result = error == kRefused ? LineError::ConnectionRefused
                     : timedOut        ? LineError::TimedOut
                                       : LineError::OpenFailed;
    }
    return result;
}

bool TcpSerialLine::IsOpen() const { return m_open; }

void TcpSerialLine::closeConnection(bool discardUnsent) {
    if (m_socket < 0)
        return;
    if (discardUnsent) {
        // Reset rather than closed: the system would otherwise go on sending what is queued.
        linger now{1, 0};
        ::setsockopt(native(m_socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now),
                     sizeof now);
    }
    closeSocket(m_socket);
    m_socket = -1;
}

LineError TcpSerialLine::ClosePort() {
    if (!IsOpen())
        return LineError::NotOpen;
    // Writes only return once their bytes are with the system, which sends them after the close.
    dropConnecting();
    closeConnection(false);
    m_input.clear();
    m_open = false;
    m_lost = false;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "closed";
    return LineError::None;
}

void TcpSerialLine::lose(const char *why, Loss loss) {
    if (m_lost)
        return;
    // A connection the far end closed or broke is released, and what it sent before is still
    // read; one this side gives up (stalled, dead) is dropped with the bytes queued on it both
    // ways, which must not reach the radio late.
    closeConnection(loss == Loss::GivenUp);
    if (loss == Loss::GivenUp)
        m_input.clear();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connection lost (" << why << "), connecting again";
}

LineError TcpSerialLine::reopen() {
    if (!m_lost)
        return LineError::OpenFailed;
    const auto now = Clock::now();
    if (m_connecting < 0) {
        // Also drops whatever the old connection left unread.
        closeConnection(false);
        m_input.clear();
        m_connectStart = now;
        int error = 0;
        m_connecting = startConnecting(m_address, error);
        if (m_connecting < 0)
            return LineError::OpenFailed;
    }
    // The try goes on by itself; each call only asks how far it got. One that hangs (the
    // remote machine unreachable) is given up, and the owner makes another.
    int error = 0;
    switch (progressOf(m_connecting, now, error)) {
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
    m_socket = std::exchange(m_connecting, -1);
    setUpConnection();
    if (!dropUnasked(Clock::now() - m_connectStart)) {
        closeConnection(false);
        return LineError::ConnectionClosed;
    }
    m_lost = false;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected again";
    return LineError::None;
}

void TcpSerialLine::letGo() {
    closeConnection(false);
    m_input.clear();
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(deviceName()) << "connected again but not to the radio; closed";
}

void TcpSerialLine::dropConnecting() {
    if (m_connecting >= 0)
        closeSocket(m_connecting);
    m_connecting = -1;
}

void TcpSerialLine::takeIn() {
    if (!m_open || m_lost || !connected())
        return;
    // Nothing reads on its own here: take in what the system holds, until nothing more is there
    // or the buffer is full (the rest waits in the system until the next read).
    while (m_input.size() < kInputBufferSize) {
        char buffer[kInputBufferSize];
        int count = 0;
        switch (receive(m_socket, buffer, int(kInputBufferSize - m_input.size()), count)) {
        case Got::Bytes:
            m_input.append(buffer, count);
            break;
        case Got::Nothing:
            return;
        case Got::Closed:
            lose("closed by the server", Loss::FarEnd);
            return;
        case Got::Failed:
            lose("failed", Loss::FarEnd);
            return;
        }
    }
}

LineError TcpSerialLine::ClearBuffers() {
    if (m_lost)
        return LineError::ReadFailed;
    // Before opening nothing can be waiting; the search clears before it opens.
    if (!m_open)
        return LineError::None;
    m_input.clear();
    // What the system holds goes too: far more than a radio sends between two exchanges, but
    // not without end should a device flood the line.
    for (int i = 0; i < 64 && connected(); ++i) {
        char buffer[kInputBufferSize];
        int count = 0;
        const Got got = receive(m_socket, buffer, int(sizeof buffer), count);
        if (got == Got::Bytes)
            continue;
        if (got == Got::Closed)
            lose("closed by the server", Loss::FarEnd);
        else if (got == Got::Failed)
            lose("failed", Loss::FarEnd);
        break;
    }
    m_input.clear();
    return m_lost ? LineError::ReadFailed : LineError::None;
}

LineError TcpSerialLine::WriteBytes(const QByteArray &bytes) {
    if (!m_open)
        return LineError::NotOpen;
    if (m_lost)
        return LineError::WriteFailed;
    if (bytes.isEmpty())
        return LineError::None;
    // The bytes only wait when the system's buffer is full: the far end has stopped taking them.
    const auto limit = Clock::now() + kWriteLimit;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        int count = 0;
        switch (transmit(m_socket, bytes.constData() + sent, int(bytes.size() - sent), count)) {
        case Sent::Some:
            sent += count;
            break;
        case Sent::Full:
            if (Clock::now() >= limit || waitFor(m_socket, true, limit) == Ready::No) {
                lose("write stalled", Loss::GivenUp);
                return LineError::WriteFailed;
            }
            break;
        case Sent::Failed:
            lose("write failed", Loss::GivenUp);
            return LineError::WriteFailed;
        }
    }
    return LineError::None;
}

std::optional<qint16> TcpSerialLine::BytesWaiting() {
    takeIn();
    // What came before a connection was closed is still read, then the line fails.
    if (!m_open || (m_lost && m_input.isEmpty()))
        return std::nullopt;
    return static_cast<qint16>(std::min<qsizetype>(m_input.size(), kInputBufferSize));
}

std::optional<QByteArray> TcpSerialLine::ReadAll() {
    takeIn();
    if (!m_open || (m_lost && m_input.isEmpty()))
        return std::nullopt;
    return std::exchange(m_input, QByteArray());
}

void TcpSerialLine::waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) {
#if defined(__unix__) || defined(__APPLE__)
    if (m_open && !m_lost && connected()) {
        if (m_input.size() < kInputBufferSize) {
            // Whatever the system holds is new to the line: its buffer took in all there was.
            clock.waitReadable(native(m_socket), deadline);
            return;
        }
        // Full: the system's bytes wait for room, so the socket stays readable; look again
        // after a tick rather than wake at once.
        clock.sleepUntil(std::min(deadline, clock.now() + kInputTick));
        return;
    }
#elif defined(_WIN32)
    if (m_open && !m_lost && connected() && m_input.size() < kInputBufferSize) {
        // Winsock has no wake-up descriptor to wait on beside the socket: the wait is cut into
        // slices so that stopping the owner (whose clock then runs out) is seen within one.
        const auto end = std::min(deadline, clock.now() + kWaitSlice);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock.now()).count();
        if (left > 0) {
            WSAPOLLFD pfd{native(m_socket), POLLRDNORM, 0};
            ::WSAPoll(&pfd, 1, int(left));
        }
        return;
    }
#endif
    // Lost, or a system without a wait here: a short look.
    SerialLine::waitForInput(clock, deadline);
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "networkpeers.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

#include <deque>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon::sim {

using namespace std::chrono;
using Clock = steady_clock;

namespace {

sockaddr_in loopback(quint16 port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A listening loopback socket on a port of the system's choosing; -1 on failure.
int listenOnLoopback(int backlog, quint16 &port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (s >= 0)
            ::close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

void noDelay(int s) {
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

quint16 freeLoopbackPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QString ser2netProgram() {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    return found.isEmpty()
               ? QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")})
               : found;
}

bool Ser2net::start(const QString &device, quint16 port) {
    const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("connection: &radio\n"
                              "    accepter: tcp,127.0.0.1,%1\n"
                              "    connector: serialdev,%2,4800n82,local\n"
                              "    options:\n"
                              "        kickolduser: true\n")
                   .arg(port)
                   .arg(device)
                   .toUtf8());
    file.close();
    m_process.start(ser2netProgram(),
                    {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config});
    if (!m_process.waitForStarted(5000))
        return false;
    for (int i = 0; i < 100; ++i) { // listening once the port cannot be had
        QTcpServer other;
        if (!other.listen(QHostAddress::LocalHost, port))
            return true;
        other.close();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void Ser2net::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    m_process.waitForFinished(5000);
}

DelayRelay::DelayRelay(quint16 upstream, milliseconds delay) : m_upstream(upstream), m_delay(delay) {
    m_listener = listenOnLoopback(1, m_port);
    m_thread = std::thread([this] { run(); });
}

DelayRelay::~DelayRelay() {
    m_stop = true;
    m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

void DelayRelay::run() {
    struct Chunk {
        Clock::time_point due;
        QByteArray bytes;
    };
    while (!m_stop && m_listener >= 0) {
        pollfd l{m_listener, POLLIN, 0};
        if (::poll(&l, 1, 50) <= 0)
            continue;
        const int down = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (down < 0)
            continue;
        int up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(m_upstream);
        if (up >= 0 && ::connect(up, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            ::close(up);
            up = -1;
        }
        noDelay(down);
        if (up >= 0)
            noDelay(up);
        std::deque<Chunk> toUp, toDown;
        bool open = up >= 0;
        while (open && !m_stop) {
            pollfd fds[2] = {{down, POLLIN, 0}, {up, POLLIN, 0}};
            ::poll(fds, 2, 1);
            for (int i = 0; i < 2 && open; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buf[512];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0)
                    open = false;
                else
                    (i == 0 ? toUp : toDown).push_back({Clock::now() + m_delay, QByteArray(buf, int(n))});
            }
            for (auto [queue, fd] : {std::pair{&toUp, up}, std::pair{&toDown, down}})
                while (!queue->empty() && queue->front().due <= Clock::now()) {
                    [[maybe_unused]] const ssize_t w =
                        ::write(fd, queue->front().bytes.constData(), size_t(queue->front().bytes.size()));
                    queue->pop_front();
                }
        }
        ::close(down);
        if (up >= 0)
            ::close(up);
    }
}

StalledListener::StalledListener() {
    quint16 port = 0;
    m_listener = listenOnLoopback(0, port);
    if (m_listener < 0)
        return;
    // Fill the queue: connections are made until one is left hanging, which shows that the system
    // now drops attempts (Linux queues one more than the backlog).
    for (int i = 0; i < 8; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port);
        if (s < 0)
            return;
        m_queued.push_back(s);
        if (::connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0)
            continue;
        pollfd p{s, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) {
            m_port = port;
            return;
        }
    }
}

StalledListener::~StalledListener() {
    for (int s : m_queued)
        ::close(s);
    if (m_listener >= 0)
        ::close(m_listener);
}

} // namespace quillon::sim

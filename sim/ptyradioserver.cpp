// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptyradioserver.h"

#include "radio/replywait.h"

#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace quillon::sim {

using Clock = std::chrono::steady_clock;

struct PtyRadioServer::Impl {
    mutable std::mutex mutex;
    std::condition_variable changed;
    VirtualRadio radio;
    int master = -1;
    int slaveHold = -1; // keeps the line up while the program has the device closed
    int wake[2] = {-1, -1};
    bool stopping = false;
    bool unplugRequested = false;
    bool running = false;
    QString path;
    QString error;
    std::thread thread;
    std::deque<WireByte> outgoing; // in time order
    RequestWire incoming;          // read from the pty, not yet through the radio's UART
    ReplyTransmitter transmitter;
    std::vector<WireBlock> blocks;
    QByteArray raw;

    void wakeUp();
    void closeMasterLocked();
    void serve();
    void takeIn(const char *data, qsizetype n, Clock::time_point now);
    void hear(Clock::time_point now);
};

#if defined(Q_OS_UNIX)

void PtyRadioServer::Impl::wakeUp() {
    const char c = 0;
    [[maybe_unused]] const ssize_t r = ::write(wake[1], &c, 1);
}

void PtyRadioServer::Impl::closeMasterLocked() {
    // The slave is kept: the device node goes with the master, but while any descriptor holds
    // the slave its number cannot be given to a new pseudo-terminal, so a program looking for
    // the unplugged device cannot come upon some other one at its path. stop() lets it go.
    if (master >= 0)
        ::close(master);
    master = -1;
    outgoing.clear();
    incoming.reset(Clock::now());
    unplugRequested = false;
    changed.notify_all();
}

// Called with the lock held. The pty hands over a write at once; the radio gets it later.
void PtyRadioServer::Impl::takeIn(const char *data, qsizetype n, Clock::time_point now) {
    raw.append(data, n);
    incoming.write(QByteArrayView(data, n), now);
}

// Called with the lock held: the radio acts on what has come through its UART by now.
void PtyRadioServer::Impl::hear(Clock::time_point now) {
    const auto onBlock = [this](const CommandBlock &block, Clock::time_point at) {
        blocks.push_back(WireBlock{at, block});
    };
    for (const WireByte &b : hearArrived(radio, transmitter, incoming.takeArrived(now), onBlock))
        outgoing.push_back(b);
}

void PtyRadioServer::Impl::serve() {
    std::unique_lock lock(mutex);
    bool wantOut = false;
    while (!stopping) {
        if (unplugRequested)
            closeMasterLocked();

        pollfd fds[2] = {{wake[0], POLLIN, 0},
                         {master, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0}};
        const nfds_t nfds = master >= 0 ? 2 : 1;
        // Wake for the next reply byte due (unless waiting for room) or the next request byte in.
        std::optional<Clock::time_point> wakeAt = incoming.nextArrival();
        if (!outgoing.empty() && !wantOut)
            wakeAt = wakeAt ? std::min(*wakeAt, outgoing.front().at) : outgoing.front().at;
        timespec timeout{};
        timespec *timeoutPtr = nullptr;
        if (master >= 0 && wakeAt) {
            timeout = toTimespec(std::max(Clock::duration::zero(), *wakeAt - Clock::now()));
            timeoutPtr = &timeout;
        }

        lock.unlock();
        const int rc = ::ppoll(fds, nfds, timeoutPtr, nullptr);
        const int pollErrno = errno;
        lock.lock();
        if (rc < 0 && pollErrno != EINTR)
            break;
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            char drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (master < 0 || unplugRequested || stopping)
            continue;

        if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                takeIn(buf, n, Clock::now());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Hung up with nothing to read; do not spin on it.
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                lock.lock();
            }
        }

        const Clock::time_point now = Clock::now();
        hear(now);

        // Send every reply byte whose time has come.
        wantOut = false;
        QByteArray due;
        for (const WireByte &o : outgoing) {
            if (o.at > now)
                break;
            due.append(o.byte);
        }
        if (!due.isEmpty()) {
            const ssize_t n = ::write(master, due.constData(), static_cast<size_t>(due.size()));
            if (n > 0)
                outgoing.erase(outgoing.begin(), outgoing.begin() + n);
            if (n < due.size())
                wantOut = true; // the program is not reading; wait for room
        }
    }
    running = false;
    changed.notify_all();
}

PtyRadioServer::PtyRadioServer() : d(std::make_unique<Impl>()) {}

PtyRadioServer::~PtyRadioServer() { stop(); }

bool PtyRadioServer::start() {
    std::unique_lock lock(d->mutex);
    if (d->running) {
        d->error = QStringLiteral("already running");
        return false;
    }
    auto fail = [this](const char *what) {
        d->error =
            QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
        for (int *fd : {&d->master, &d->slaveHold, &d->wake[0], &d->wake[1]}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        return false;
    };

    d->master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (d->master < 0)
        return fail("posix_openpt");
    if (::grantpt(d->master) != 0)
        return fail("grantpt");
    if (::unlockpt(d->master) != 0)
        return fail("unlockpt");
    char name[PATH_MAX] = {};
#if defined(__linux__)
    if (::ptsname_r(d->master, name, sizeof name) != 0)
        return fail("ptsname_r");
#else
    const char *n = ::ptsname(d->master);
    if (!n)
        return fail("ptsname");
    std::strncpy(name, n, sizeof name - 1);
#endif
    d->slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (d->slaveHold < 0)
        return fail("open slave");
    // Raw line: no echo, no line editing, no CR/NL translation, all 256 byte values pass.
    termios tio{};
    if (::tcgetattr(d->slaveHold, &tio) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(d->slaveHold, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    if (::fcntl(d->master, F_SETFL, ::fcntl(d->master, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl");
    if (::pipe(d->wake) != 0)
        return fail("pipe");
    for (int fd : d->wake) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::fcntl(d->master, F_SETFD, FD_CLOEXEC);
    ::fcntl(d->slaveHold, F_SETFD, FD_CLOEXEC);

    d->path = QString::fromLocal8Bit(name);
    d->stopping = false;
    d->running = true;
    d->error.clear();
    d->thread = std::thread([this] { d->serve(); });
    return true;
}

void PtyRadioServer::stop() {
    {
        std::unique_lock lock(d->mutex);
        if (!d->thread.joinable())
            return;
        d->stopping = true;
        d->wakeUp();
    }
    d->thread.join();
    std::unique_lock lock(d->mutex);
    d->running = false;
    d->closeMasterLocked();
    if (d->slaveHold >= 0)
        ::close(d->slaveHold);
    d->slaveHold = -1;
    for (int &fd : d->wake) {
        ::close(fd);
        fd = -1;
    }
}

void PtyRadioServer::unplug() {
    std::unique_lock lock(d->mutex);
    d->radio.setFault(RadioFault::Unplugged);
    if (d->master < 0)
        return;
    if (!d->running) {
        d->closeMasterLocked();
        return;
    }
    d->unplugRequested = true;
    d->wakeUp();
    d->changed.wait(lock, [this] { return d->master < 0 || !d->running; });
}

void PtyRadioServer::setChunkPeriod(std::chrono::microseconds period) {
    std::unique_lock lock(d->mutex);
    d->transmitter.setChunkPeriod(period);
}

void PtyRadioServer::setOutputWedged(bool wedged) {
    std::unique_lock lock(d->mutex);
    // Stopping the terminal's output is what a stuck adapter looks like from the program:
    // its writes are taken by nobody.
    if (d->slaveHold >= 0)
        ::tcflow(d->slaveHold, wedged ? TCOOFF : TCOON);
}

void PtyRadioServer::sendUnsolicited(const QByteArray &bytes) {
    std::unique_lock lock(d->mutex);
    qsizetype sent = 0;
    while (d->master >= 0 && sent < bytes.size()) {
        const ssize_t n =
            ::write(d->master, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent));
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        // Full: give the program a moment to read, but never hang the caller.
        pollfd pfd{d->master, POLLOUT, 0};
        if (::poll(&pfd, 1, 1000) <= 0)
            break;
    }
}

#else // no pseudo-terminals here

void PtyRadioServer::Impl::wakeUp() {}
void PtyRadioServer::Impl::closeMasterLocked() {}
void PtyRadioServer::Impl::serve() {}
void PtyRadioServer::Impl::takeIn(const char *, qsizetype, Clock::time_point) {}

PtyRadioServer::PtyRadioServer() : d(std::make_unique<Impl>()) {}
PtyRadioServer::~PtyRadioServer() = default;

bool PtyRadioServer::start() {
    d->error = QStringLiteral("pseudo-terminals are not available on this system");
    return false;
}

void PtyRadioServer::stop() {}
void PtyRadioServer::unplug() {}
void PtyRadioServer::setChunkPeriod(std::chrono::microseconds) {}
void PtyRadioServer::setOutputWedged(bool) {}
void PtyRadioServer::sendUnsolicited(const QByteArray &) {}

#endif

QString PtyRadioServer::devicePath() const {
    std::unique_lock lock(d->mutex);
    return d->path;
}

QString PtyRadioServer::errorString() const {
    std::unique_lock lock(d->mutex);
    return d->error;
}

void PtyRadioServer::withRadio(const std::function<void(VirtualRadio &)> &f) {
    bool pulled = false;
    {
        std::unique_lock lock(d->mutex);
        f(d->radio);
        pulled = d->radio.fault() == RadioFault::Unplugged && d->master >= 0;
    }
    // The model's cable pulled: the line goes too.
    if (pulled)
        unplug();
}

std::vector<PtyRadioServer::WireBlock> PtyRadioServer::receivedBlocks() const {
    std::unique_lock lock(d->mutex);
    return d->blocks;
}

QByteArray PtyRadioServer::receivedBytes() const {
    std::unique_lock lock(d->mutex);
    return d->raw;
}

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#include "lineowner.h"

#include "discovery.h"
#include "logging.h"

#include <QCoreApplication>

#include <array>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace quillon {

OwnerClock::OwnerClock(MonotonicClock &inner)
    : m_inner(inner), m_realTime(&inner == &SystemClock::instance()) {
#if defined(__unix__) || defined(__APPLE__)
    if (::pipe(m_wakePipe) == 0) {
        for (const int fd : m_wakePipe)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    } else {
        m_wakePipe[0] = m_wakePipe[1] = -1;
    }
#endif
}

OwnerClock::~OwnerClock() {
#if defined(__unix__) || defined(__APPLE__)
    for (const int fd : m_wakePipe)
        if (fd >= 0)
            ::close(fd);
#endif
}

#if defined(__unix__) || defined(__APPLE__)
bool OwnerClock::waitReadable(int fd, time_point deadline) {
    if (m_runOut)
        return false;
    if (!m_realTime || m_wakePipe[0] < 0)
        return m_inner.waitReadable(fd, deadline);
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    if (pollUntil(m_inner, fds, 2, deadline) <= 0)
        return false;
    return fds[0].revents != 0 && !m_runOut;
}
#endif

MonotonicClock::time_point OwnerClock::now() const {
    // Run out: far enough ahead that every deadline of an exchange has passed.
    return m_runOut ? m_inner.now() + std::chrono::hours(24) : m_inner.now();
}

void OwnerClock::sleepUntil(time_point deadline) {
    if (m_runOut)
        return;
    if (!m_realTime) {
        m_inner.sleepUntil(deadline);
        return;
    }
    std::unique_lock lock(m_mutex);
    m_wake.wait_until(lock, deadline, [this] { return m_runOut.load(); });
}

void OwnerClock::runOut() {
    {
        std::lock_guard lock(m_mutex);
        m_runOut = true;
    }
    m_wake.notify_all();
#if defined(__unix__) || defined(__APPLE__)
    if (m_wakePipe[1] >= 0) {
        const char one = 1;
        [[maybe_unused]] const auto n = ::write(m_wakePipe[1], &one, 1);
    }
#endif
}

class LineOwner::Thread final : public QThread {
public:
    explicit Thread(LineOwner &owner) : m_owner(owner) { setObjectName(QStringLiteral("radio line")); }
    // No event loop here: the line's objects are used through their waiting calls only.
    void run() override { m_owner.run(); }

private:
    LineOwner &m_owner;
};

namespace {

// The order in which the owner looks at its queues, by what it did last. Right after an operator
// job or one of the window's status requests the clients come before a poll, so a client's read
// is never held behind both requests of a tick (their air time alone is 133 ms); after a
// client's turn or an idle wait, the poll comes first.
enum Queue { OperatorJobs, Polls, Clients };
constexpr std::array<std::array<Queue, 3>, 2> kOrder{{
    {OperatorJobs, Clients, Polls}, // after an operator job or a poll
    {OperatorJobs, Polls, Clients}, // after a client's turn, or after being idle
}};

} // namespace

LineOwner::LineOwner(std::unique_ptr<SerialLine> line, MonotonicClock &clock)
    : m_line(std::move(line)), m_clock(clock), m_wait(m_clock) {
    Q_ASSERT(m_line);
    m_thread = std::make_unique<Thread>(*this);
    m_line->moveToThread(m_thread.get());
    // Where the system lets a program raise a thread of its own (Windows) the waits keep their
    // time on a busy computer; elsewhere this changes nothing.
    m_thread->start(QThread::HighestPriority);
}

LineOwner::~LineOwner() { stop(); }

bool LineOwner::post(Priority priority, Job job) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return false; // the job is destroyed here, on the caller's thread
        (priority == Priority::Operator ? m_operator : m_polls).push_back(std::move(job));
    }
    m_wake.notify_all();
    return true;
}

void LineOwner::setClientWork(ClientWork work) {
    {
        std::unique_lock lock(m_mutex);
        const bool withdrawn = !work;
        m_clientWork = std::move(work);
        m_clientMayHaveWork = true;
        // Whoever withdraws the work may go away after this: a turn in progress ends first.
        if (withdrawn && !m_stopped)
            m_wake.wait(lock, [this] { return !m_inClientTurn; });
    }
    m_wake.notify_all();
}

void LineOwner::clientWorkArrived() {
    {
        std::lock_guard lock(m_mutex);
        m_clientMayHaveWork = true;
    }
    m_wake.notify_all();
}

bool LineOwner::isStopped() const {
    std::lock_guard lock(m_mutex);
    return m_stopped;
}

bool LineOwner::isBusy() const {
    std::lock_guard lock(m_mutex);
    return m_running || !m_operator.empty() || !m_polls.empty();
}

bool LineOwner::drain(std::chrono::milliseconds limit) {
    struct Marker {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
    };
    auto marker = std::make_shared<Marker>();
    if (!post(Priority::Poll, [marker](Context &) {
            std::lock_guard lock(marker->mutex);
            marker->done = true;
            marker->ran.notify_all();
        }))
        return false;
    std::unique_lock lock(marker->mutex);
    return marker->ran.wait_for(lock, limit, [&] { return marker->done; });
}

void LineOwner::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
    }
    m_clock.runOut();
    m_wake.notify_all();
    m_thread->wait();
}

bool LineOwner::takeNext(Job &job, Turn &turn) {
    std::unique_lock lock(m_mutex);
    // The last job is over: idle while waiting for the next one.
    m_running = false;
    const auto clientsWaiting = [this] { return m_clientWork && m_clientMayHaveWork; };
    const auto ready = [&] {
        return m_stopped || !m_operator.empty() || !m_polls.empty() || clientsWaiting();
    };
    // The clients' turn before a poll is for what waited behind the operator's job, not for a
    // tick that comes after the line has been idle.
    if (!ready())
        m_last = Turn::Idle;
    m_wake.wait(lock, ready);
    if (m_stopped)
        return false;
    for (const Queue pick : kOrder[m_last == Turn::Operator || m_last == Turn::Poll ? 0 : 1]) {
        if (pick == OperatorJobs && !m_operator.empty()) {
            job = std::move(m_operator.front());
            m_operator.pop_front();
            turn = Turn::Operator;
            break;
        }
        if (pick == Polls && !m_polls.empty()) {
            job = std::move(m_polls.front());
            m_polls.pop_front();
            turn = Turn::Poll;
            break;
        }
        if (pick == Clients && clientsWaiting()) {
            // Cleared before the work runs: input that arrives while it runs sets it again.
            m_clientMayHaveWork = false;
            turn = Turn::Client;
            break;
        }
    }
    m_last = turn;
    m_running = true;
    return true;
}

void LineOwner::serveClients(Context &context, Wire wire) {
    ClientWork work;
    {
        std::lock_guard lock(m_mutex);
        if (!m_clientWork || (wire == Wire::No && !m_clientMayHaveWork))
            return;
        work = m_clientWork;
        m_inClientTurn = true;
    }
    const bool served = work(context, wire);
    work = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_inClientTurn = false;
        // After a full turn that served something there may be more; a turn without the wire
        // leaves what needs it waiting.
        if (wire == Wire::Yes)
            m_clientMayHaveWork = m_clientMayHaveWork || served;
    }
    m_wake.notify_all();
}

void LineOwner::keepLineUp(Context &context) {
    SerialLine &line = context.line;
    if (!line.isLost())
        return;
    // A try still on its way is only asked how far it got; a new one begins at most once per
    // the line's interval, so that a server that is down is not hammered with connections.
    if (!line.reopening()) {
        const auto now = m_clock.now();
        if (m_triedReopen && now - m_lastReopen < line.reopenInterval())
            return;
        m_triedReopen = true;
        m_lastReopen = now;
        ++m_reopenTries;
    }
    if (line.reopen() != LineError::None)
        return;
    // Something is at the device's name again, but not necessarily the radio: another adapter
    // may have been given the name, a server may now serve another device. Nothing but the probe
    // goes to it until it answers as the radio.
    if (!stillTheRadio(line, context.wait)) {
        line.letGo();
        m_lastReopen = m_clock.now();
    }
}

void LineOwner::run() {
    Context context{*m_line, m_clock, m_wait};
    Job job;
    Turn turn = Turn::Idle;
    while (takeNext(job, turn)) {
        keepLineUp(context);
        if (turn == Turn::Client) {
            // One block at a time, then the window's jobs come first again.
            serveClients(context, Wire::Yes);
            continue;
        }
        job(context);
        job = nullptr;
        serveClients(context, Wire::No);
    }
    std::deque<Job> operatorJobs, polls;
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
        operatorJobs.swap(m_operator);
        polls.swap(m_polls);
    }
    // Jobs not run are destroyed here, outside the lock: what they hold may wake someone.
    operatorJobs.clear();
    polls.clear();
    // Closed where it was used; then the line's objects go back to the thread that will delete
    // them.
    if (m_line->IsOpen())
        m_line->ClosePort();
    if (QCoreApplication *app = QCoreApplication::instance())
        m_line->moveToThread(app->thread());
}

} // namespace quillon

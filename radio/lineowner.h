// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "replywait.h"
#include "serialline.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace quillon {

// The clock the owner's waits run on: the program's own clock until stop(), then one whose time
// has run out, so that a wait in progress ends at once and every later one does not begin.
class OwnerClock final : public MonotonicClock {
public:
    explicit OwnerClock(MonotonicClock &inner);
    time_point now() const override;
    OwnerClock(const OwnerClock &) = delete;
    OwnerClock &operator=(const OwnerClock &) = delete;
    ~OwnerClock() override;
    void sleepUntil(time_point deadline) override;
#if defined(__unix__) || defined(__APPLE__)
    bool waitReadable(int fd, time_point deadline) override;
#endif
    void runOut();
    bool hasRunOut() const { return m_runOut; }

private:
    MonotonicClock &m_inner;
    const bool m_realTime; // the system's clock: sleep where stop() can wake us
    std::atomic<bool> m_runOut{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
#if defined(__unix__) || defined(__APPLE__)
    int m_wakePipe[2] = {-1, -1}; // written once by runOut(): ends a wait on a descriptor
#endif
};

// May a piece of client work put a block on the wire? No: only what needs no exchange (a read
// answered from the replies just stored).
enum class Wire { Yes, No };

// The one owner of the radio line. Every exchange with the radio runs here, one at a time and
// never cut, on a thread of the owner's own: the design's waits keep their exact length whatever
// the window's thread is doing (painting, a menu, a screen reader asking), and the window never
// waits for the radio.
//
// The thread runs no event loop, and nothing on it needs one: the lines are plain descriptors
// (a termios port, a socket, a Win32 handle) that it waits on directly, so a reply is read the
// moment it is whole, nothing is ever posted to this thread, and an idle owner sleeps on one
// condition variable. (A Qt object here would queue events that no loop delivers.)
//
// What goes on the wire next, by what the owner did last (kOrder in lineowner.cpp):
//   after an operator job (a click, the search) or a poll:  operator, clients, poll
//   after a client's turn, or after being idle:             operator, poll, clients
// so a read the operator's select made stale is not held behind both of the window's status
// requests, nor is a read that comes during a tick: one client's block may go between the two
// requests of a tick (a poll may wait as long for a client's exchange already on the wire when
// its tick comes). After each of the window's jobs the clients' reads that its reply made fresh
// are answered without the wire.
// A lost line (an adapter unplugged, a serial server gone) is taken again here too: at most
// once per the line's reopenInterval() a new try, and nothing but the probe goes to the device
// until it answers as the radio.
class LineOwner final {
public:
    enum class Priority { Operator, Poll };

    // What a job may use. The clock is the owner's: its waits end at once when the owner stops.
    struct Context {
        SerialLine &line;
        MonotonicClock &clock;
        ReplyWait &wait;
    };
    using Job = std::function<void(Context &)>;
    // Serves one of the clients' waiting blocks (Wire::No: only what needs no wire). False when
    // nothing was served.
    using ClientWork = std::function<bool(Context &, Wire)>;

    LineOwner(std::unique_ptr<SerialLine> line, MonotonicClock &clock);
    ~LineOwner();
    LineOwner(const LineOwner &) = delete;
    LineOwner &operator=(const LineOwner &) = delete;

    // Queues a job behind the others of its priority. False once the owner has stopped: the job
    // is destroyed without running, as are jobs still queued at stop().
    bool post(Priority priority, Job job);
    // Installed once sharing starts; called whenever nothing of the window's waits. Call
    // clientWorkArrived() when it may have something new. Withdrawing it (an empty one) waits
    // for a client's turn in progress to end.
    void setClientWork(ClientWork work);
    void clientWorkArrived();

    // Ends every wait at once, lets the job in progress finish, closes the line if it is open and
    // ends the thread. Jobs still queued are not run. Safe to call more than once.
    void stop();
    bool isStopped() const;

    // A job queued or running.
    bool isBusy() const;
    // Returns once every job queued before it has run and the owner has come round to a job of
    // its own (for tests, which must let the owner finish before they look); false if the owner
    // stopped or the limit passed first.
    bool drain(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // The line itself, for what only the window's thread does before the owner starts or after it
    // stops (tests, the line's name in messages). Never for I/O while the owner runs.
    SerialLine &line() const { return *m_line; }
    MonotonicClock &clock() { return m_clock; }

    // How often a lost line was tried again, for the tests.
    int reopenTries() const { return m_reopenTries; }

private:
    class Thread;
    void run();
    enum class Turn { Operator, Poll, Client, Idle };
    bool takeNext(Job &job, Turn &turn);
    void serveClients(Context &context, Wire wire);
    void keepLineUp(Context &context);

    std::unique_ptr<SerialLine> m_line;
    OwnerClock m_clock;
    ReplyWait m_wait;
    std::unique_ptr<QThread> m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_operator;
    std::deque<Job> m_polls;
    ClientWork m_clientWork;
    bool m_clientMayHaveWork = false;
    Turn m_last = Turn::Idle; // what the owner did last: decides the order of the next pick
    bool m_running = false;   // a job in progress
    bool m_inClientTurn = false;
    bool m_stopped = false;

    MonotonicClock::time_point m_lastReopen{};
    bool m_triedReopen = false;
    std::atomic<int> m_reopenTries{0};
};

} // namespace quillon

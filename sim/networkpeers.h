// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quillon::sim {

// The far end of a radio on another machine, for tests and benchmarks: a real ser2net in front of
// a device, a network path with a long delay, and an address that never answers.

// A loopback port nothing listens on at the moment of the call.
quint16 freeLoopbackPort();

// Debian installs ser2net under /usr/sbin, which a user's PATH may lack. Empty when missing.
QString ser2netProgram();

// ser2net in the foreground with a configuration of its own: the device on a loopback port as raw
// TCP at the radio's settings, modem lines ignored, a new client taking over from an old one.
class Ser2net {
public:
    ~Ser2net() { stop(); }
    // Returns once it listens (or false). It is not asked by connecting: it would open the
    // device, and might still hold it when the caller begins.
    bool start(const QString &device, quint16 port);
    void stop();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// Passes connections on to 127.0.0.1:upstream, one at a time, holding every chunk for `delay`
// in each direction, as a long network path does.
class DelayRelay {
public:
    DelayRelay(quint16 upstream, std::chrono::milliseconds delay);
    ~DelayRelay();
    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;
    quint16 port() const { return m_port; }

private:
    void run();
    quint16 m_upstream;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A loopback port whose connection queue is full: the system drops further attempts without an
// answer, so a connection there neither succeeds nor is refused, as to a machine that is off.
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;
    // 0 when the queue could not be filled.
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    std::vector<int> m_queued;
    quint16 m_port = 0;
};

} // namespace quillon::sim

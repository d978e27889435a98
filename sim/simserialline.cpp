// SPDX-License-Identifier: GPL-3.0-or-later
#include "simserialline.h"

#include <algorithm>

namespace quillon::sim {

SimSerialLine::SimSerialLine(MonotonicClock &clock) : m_clock(clock) {}

void SimSerialLine::attachRadio(qint16 portNum, VirtualRadio *radio) {
    m_slots[portNum] = Slot{Kind::Radio, radio};
}

void SimSerialLine::setBusy(qint16 portNum) { m_slots[portNum] = Slot{Kind::Busy, nullptr}; }

void SimSerialLine::setDenied(qint16 portNum) { m_slots[portNum] = Slot{Kind::Denied, nullptr}; }

QString SimSerialLine::deviceName() const {
    const auto it = m_names.find(m_port);
    return it == m_names.end() ? QString() : it->second;
}

void SimSerialLine::attachMute(qint16 portNum) { m_slots[portNum] = Slot{Kind::Mute, nullptr}; }

void SimSerialLine::unplug() {
    if (!m_open)
        return;
    hearRadio(m_clock.now());
    m_unplugged = true;
    m_slots.erase(m_port);
    m_pending.clear();
    m_toRadio.reset(m_clock.now()); // what was still on its way is lost with the cable
}

void SimSerialLine::injectInput(const QByteArray &bytes, MonotonicClock::time_point at) {
    if (!m_open || deviceGone())
        return;
    for (char c : bytes)
        enqueue(WireByte{at, c});
}

// Bytes injected by a test may fall between reply bytes; keep the queue in time order.
void SimSerialLine::enqueue(WireByte b) {
    const auto pos = std::upper_bound(m_pending.begin(), m_pending.end(), b.at,
                                      [](auto t, const WireByte &p) { return t < p.at; });
    m_pending.insert(pos, b);
}

// The radio takes in what has reached it by `upTo`, and its replies are put on their way.
void SimSerialLine::hearRadio(MonotonicClock::time_point upTo) {
    if (m_toRadio.empty())
        return;
    const std::vector<WireByte> in = m_toRadio.takeArrived(upTo);
    const Slot s = slot(m_port);
    if (!m_open || s.kind != Kind::Radio || !s.radio)
        return;
    for (const WireByte &b : hearArrived(*s.radio, m_transmitter, in))
        enqueue(b);
}

SimSerialLine::Slot SimSerialLine::slot(qint16 port) const {
    const auto it = m_slots.find(port);
    return it == m_slots.end() ? Slot{} : it->second;
}

std::vector<SimSerialLine::Call> SimSerialLine::calls() const {
    std::lock_guard lock(m_callsMutex);
    return m_calls;
}

void SimSerialLine::clearCalls() {
    std::lock_guard lock(m_callsMutex);
    m_calls.clear();
}

void SimSerialLine::record(Op op, QByteArray data, LineError result) const {
    std::lock_guard lock(m_callsMutex);
    m_calls.push_back(Call{op, m_port, std::move(data), result});
}

bool SimSerialLine::deviceGone() const {
    if (m_unplugged)
        return true;
    const Slot s = slot(m_port);
    return s.kind == Kind::Radio && s.radio && s.radio->fault() == RadioFault::Unplugged;
}

int SimSerialLine::arrived() const {
    const auto now = m_clock.now();
    const auto end = std::upper_bound(m_pending.begin(), m_pending.end(), now,
                                      [](auto t, const WireByte &p) { return t < p.at; });
    return static_cast<int>(end - m_pending.begin());
}

void SimSerialLine::settle() {
    // The input buffer holds kInputBufferSize bytes; what arrives while it is full is lost.
    const int n = arrived();
    if (n > kInputBufferSize)
        m_pending.erase(m_pending.begin() + kInputBufferSize, m_pending.begin() + n);
}

LineError SimSerialLine::Configure(qint16 PortNum) {
    if (m_open) {
        record(Op::Configure, {}, LineError::OpenFailed);
        return LineError::OpenFailed;
    }
    m_port = PortNum;
    record(Op::Configure);
    return LineError::None;
}

LineError SimSerialLine::ClearBuffers() {
    if (m_open && !deviceGone()) {
        hearRadio(m_clock.now());
        settle();
        m_pending.erase(m_pending.begin(), m_pending.begin() + arrived());
    }
    record(Op::ClearBuffers);
    return LineError::None;
}

LineError SimSerialLine::OpenPort() {
    LineError result = LineError::None;
    const Slot s = slot(m_port);
    if (m_open)
        result = LineError::OpenFailed;
    else if (s.kind == Kind::Missing || (s.kind == Kind::Radio && s.radio == nullptr) ||
             (s.kind == Kind::Radio && s.radio->fault() == RadioFault::Unplugged))
        result = LineError::InvalidPortNumber;
    else if (s.kind == Kind::Busy)
        result = LineError::PortInUse;
    else if (s.kind == Kind::Denied)
        result = LineError::PermissionDenied;
    if (result == LineError::None) {
        m_open = true;
        m_unplugged = false;
        m_pending.clear();
        m_toRadio.reset(m_clock.now());
        m_transmitter.reset(m_clock.now());
        ++m_openCount;
    }
    record(Op::OpenPort, {}, result);
    return result;
}

bool SimSerialLine::IsOpen() const {
    record(Op::IsOpen);
    return m_open;
}

LineError SimSerialLine::ClosePort() {
    if (!m_open) {
        record(Op::ClosePort, {}, LineError::NotOpen);
        return LineError::NotOpen;
    }
    // The port drains its output on close: the radio still gets what was written, and its
    // answers go nowhere.
    hearRadio(m_clock.now());
    const Slot s = slot(m_port);
    QByteArray unheard;
    for (const WireByte &b : m_toRadio.takeArrived(MonotonicClock::time_point::max()))
        unheard.append(b.byte);
    if (!unheard.isEmpty() && s.kind == Kind::Radio && s.radio)
        s.radio->feed(unheard);
    m_open = false;
    m_unplugged = false;
    m_pending.clear();
    ++m_closeCount;
    record(Op::ClosePort);
    return LineError::None;
}

LineError SimSerialLine::WriteBytes(const QByteArray &bytes) {
    LineError result = LineError::None;
    if (!m_open)
        result = LineError::NotOpen;
    else if (deviceGone())
        result = LineError::WriteFailed;
    record(Op::WriteBytes, bytes, result);
    if (result != LineError::None)
        return result;

    const Slot s = slot(m_port);
    if (s.kind != Kind::Radio)
        return result;
    hearRadio(m_clock.now());
    m_toRadio.write(bytes, m_clock.now());
    return result;
}

std::optional<qint16> SimSerialLine::BytesWaiting() {
    if (!m_open || deviceGone()) {
        record(Op::BytesWaiting, {}, m_open ? LineError::ReadFailed : LineError::NotOpen);
        return std::nullopt;
    }
    hearRadio(m_clock.now());
    settle();
    const int n = arrived();
    record(Op::BytesWaiting);
    return static_cast<qint16>(n);
}

std::optional<QByteArray> SimSerialLine::ReadAll() {
    if (!m_open || deviceGone()) {
        record(Op::ReadAll, {}, m_open ? LineError::ReadFailed : LineError::NotOpen);
        return std::nullopt;
    }
    hearRadio(m_clock.now());
    settle();
    const int n = arrived();
    QByteArray out;
    out.reserve(n);
    for (int i = 0; i < n; ++i)
        out.append(m_pending[static_cast<size_t>(i)].byte);
    m_pending.erase(m_pending.begin(), m_pending.begin() + n);
    record(Op::ReadAll, out);
    return out;
}

void SimSerialLine::waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) {
    for (;;) {
        hearRadio(m_clock.now());
        auto until = deadline;
        const auto next = static_cast<size_t>(arrived());
        if (m_open && next < m_pending.size())
            until = std::min(until, m_pending[next].at);
        // A request still on its way may bring a reply before that: wake when the radio has it,
        // then sleep on until its first byte (which comes a delay and a byte time later).
        const std::optional<MonotonicClock::time_point> request = m_toRadio.nextArrival();
        if (!m_open || !request || *request >= until) {
            clock.sleepUntil(until);
            return;
        }
        clock.sleepUntil(*request);
        if (clock.now() < *request)
            return; // woken early: the caller looks again
    }
}

std::vector<QByteArray> SimSerialLine::writes() const {
    std::vector<QByteArray> out;
    for (const Call &c : calls())
        if (c.op == Op::WriteBytes && c.result == LineError::None)
            out.push_back(c.data);
    return out;
}

QByteArray SimSerialLine::wire() const {
    QByteArray out;
    for (const QByteArray &w : writes())
        out += w;
    return out;
}

} // namespace quillon::sim

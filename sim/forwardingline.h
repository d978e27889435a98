// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "radio/serialline.h"

namespace quillon::sim {

// A line that hands every operation to another one: tests derive from it to count or change
// the few operations they are about, and the rest (reopening a lost device, the thread the
// line's I/O runs on) still reaches the real line.
class ForwardingLine : public SerialLine {
public:
    explicit ForwardingLine(SerialLine &inner) : m_inner(inner) {}

    LineError Configure(qint16 PortNum) override { return m_inner.Configure(PortNum); }
    LineError ClearBuffers() override { return m_inner.ClearBuffers(); }
    LineError OpenPort() override { return m_inner.OpenPort(); }
    bool IsOpen() const override { return m_inner.IsOpen(); }
    LineError ClosePort() override { return m_inner.ClosePort(); }
    LineError WriteBytes(const QByteArray &bytes) override { return m_inner.WriteBytes(bytes); }
    std::optional<qint16> BytesWaiting() override { return m_inner.BytesWaiting(); }
    std::optional<QByteArray> ReadAll() override { return m_inner.ReadAll(); }
    QString deviceName() const override { return m_inner.deviceName(); }
    LinkDelay *linkDelay() override { return m_inner.linkDelay(); }
    bool isLost() const override { return m_inner.isLost(); }
    LineError reopen() override { return m_inner.reopen(); }
    bool reopening() const override { return m_inner.reopening(); }
    void letGo() override { m_inner.letGo(); }
    std::chrono::milliseconds reopenInterval() const override { return m_inner.reopenInterval(); }
    void moveToThread(QThread *thread) override { m_inner.moveToThread(thread); }

private:
    SerialLine &m_inner;
};

} // namespace quillon::sim

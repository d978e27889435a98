#pragma once

#include "porttable.h"
#include "serialline.h"

#include <QSerialPort>

namespace quillon {

// The program's serial line on a real (or pseudo-terminal) device, through QSerialPort.
// Works without an event loop: writes are pushed out at once, counts and reads first pull in
// whatever the operating system holds.
class QtSerialLine final : public SerialLine {
public:
    explicit QtSerialLine(PortTable table);
    ~QtSerialLine() override;

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    QString deviceName() const override;

    const PortTable &portTable() const { return m_table; }

private:
    bool pullIn();

    PortTable m_table;
    QSerialPort m_port;
    qint16 m_portNum = 0;
    QString m_device; // as the port table names it: "/dev/ttyUSB0"
};

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serialline.h"

namespace quillon {

// The program's serial line on Windows, straight on the Win32 communications API: COMn is
// "\\.\COMn", so every port from COM1 to COM16 opens the same way. Reads never wait; writes
// give up after about a tenth of a second past the bytes' own air time.
class Win32SerialLine final : public SerialLine {
public:
    Win32SerialLine() = default;
    ~Win32SerialLine() override;
    Win32SerialLine(const Win32SerialLine &) = delete;
    Win32SerialLine &operator=(const Win32SerialLine &) = delete;

    LineError Configure(qint16 PortNum) override;
    LineError ClearBuffers() override;
    LineError OpenPort() override;
    bool IsOpen() const override;
    LineError ClosePort() override;
    LineError WriteBytes(const QByteArray &bytes) override;
    std::optional<qint16> BytesWaiting() override;
    std::optional<QByteArray> ReadAll() override;
    QString deviceName() const override;

private:
    void *m_handle = nullptr; // a HANDLE; kept opaque so no caller pulls in <windows.h>
    qint16 m_portNum = 0;
};

// What a failed CreateFile on a COM port means for the search: no such port, one another
// program holds, or something else.
LineError lineErrorFromOpenFailure(unsigned long win32Error);

// Write timeouts for count bytes, in milliseconds: the bytes' time on the wire at 4800 baud
// plus a fixed margin. Exposed for the tests.
struct Win32WriteTimeouts {
    unsigned long perByteMs;
    unsigned long constantMs;
};
inline constexpr Win32WriteTimeouts kWin32WriteTimeouts{3, 100};

} // namespace quillon

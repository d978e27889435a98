// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serialline.h"

#include <chrono>

namespace quillon {

// The program's serial line on Windows, straight on the Win32 communications API: COMn is
// "\\.\COMn", so every port from COM1 to COM16 opens the same way. Reads never wait, but
// waitForInput() sleeps in the driver until a byte comes; writes give up after about a tenth of
// a second past the bytes' own air time.
//
// As on Linux, a device that goes away while open (a USB adapter pulled) is let go at once:
// its handle never works again. The line is lost (open, with failing I/O) until reopen() opens
// the same COM number again with the same settings. After a write the adapter did not take,
// further writes get only a short try until one goes out again.
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
    void waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) override;

    bool isLost() const override { return m_lost; }
    LineError reopen() override;
    void letGo() override;
    std::chrono::milliseconds reopenInterval() const override { return kLookInterval; }

    // The shortest time between two tries to reopen a lost device; a poll comes every 500 ms.
    static constexpr std::chrono::milliseconds kLookInterval{400};

private:
    void *openHandle(unsigned long &error) const;
    void lose(const char *why);
    bool goneAfter(const char *what);
    void setStuck(bool stuck);

    QByteArray m_held;        // a byte waitForInput() took in, read before the driver's
    void *m_handle = nullptr; // a HANDLE; kept opaque so no caller pulls in <windows.h>
    qint16 m_portNum = 0;
    bool m_lost = false;
    bool m_stuck = false; // the last write was not taken; further writes get the short timeouts
};

// What a failed CreateFile on a COM port means for the search: no such port, one another
// program holds, or something else.
LineError lineErrorFromOpenFailure(unsigned long win32Error);

// True when a call on an open port failed because its device is gone (a USB adapter pulled):
// the handle will never work again, whatever is plugged in later.
bool win32ErrorMeansDeviceGone(unsigned long win32Error);

// Write timeouts for count bytes, in milliseconds: the bytes' time on the wire at 4800 baud
// plus a fixed margin. Exposed for the tests.
struct Win32WriteTimeouts {
    unsigned long perByteMs;
    unsigned long constantMs;
};
inline constexpr Win32WriteTimeouts kWin32WriteTimeouts{3, 100};
// While the adapter takes nothing: no call tells whether it would take a byte now, so a write
// tries, but only for its bytes' time on the wire and a margin a working adapter easily meets.
inline constexpr Win32WriteTimeouts kWin32StuckWriteTimeouts{3, 10};

// Sets an open COM port to the radio's line: 4800 baud, 8 data bits, no parity, 2 stop bits,
// no flow control of any kind, NUL bytes as data, DTR and RTS off, reads that return at once
// and writes bounded by kWin32WriteTimeouts. Used for the radio's port and for the ports
// shared with other programs alike. On failure, the Windows call that failed and its error;
// a port whose modem lines cannot be set (a pseudo-terminal behind Wine) is not a failure.
struct Win32SetUpFailure {
    const char *call = nullptr; // null: the port is set up
    unsigned long error = 0;
};
Win32SetUpFailure setUpCatPort(void *handle, const QString &name);

} // namespace quillon

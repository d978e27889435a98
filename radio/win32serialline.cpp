// SPDX-License-Identifier: GPL-3.0-or-later
#include "win32serialline.h"

#include "logging.h"

#include <windows.h>

#include <algorithm>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

HANDLE asHandle(void *h) { return static_cast<HANDLE>(h); }

// readWaitMs 0: reads return at once with whatever has arrived. Otherwise a read of one byte
// waits for it at most that long, which is how the line waits for a reply without a tick.
// Writes are bounded so that a stuck line fails the write instead of hanging the window.
bool setTimeouts(HANDLE h, Win32WriteTimeouts write, DWORD readWaitMs = 0) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = readWaitMs ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = readWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = write.perByteMs;
    timeouts.WriteTotalTimeoutConstant = write.constantMs;
    return SetCommTimeouts(h, &timeouts);
}

} // namespace

Win32SetUpFailure setUpCatPort(void *handle, const QString &name) {
    HANDLE h = asHandle(handle);
    const auto failed = [](const char *call) { return Win32SetUpFailure{call, GetLastError()}; };
    if (!SetupComm(h, kInputBufferSize, kOutputBufferSize))
        qCDebug(lcRadio) << qUtf8Printable(name) << "SetupComm failed:" << GetLastError();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return failed("GetCommState");
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    // The other end's modem lines mean nothing here: no flow control, no waiting for DSR.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE; // NUL bytes are data (filter bytes and replies contain them)
    // A break or a framing error must not stop the port.
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb))
        return failed("SetCommState");
    // SetCommState may leave the lines as they were; lower both outright. A pseudo-terminal
    // behind Wine has no modem lines; that is no reason to give up on the port.
    if (!EscapeCommFunction(h, CLRDTR))
        qCDebug(lcRadio) << qUtf8Printable(name) << "DTR not cleared:" << GetLastError();
    if (!EscapeCommFunction(h, CLRRTS))
        qCDebug(lcRadio) << qUtf8Printable(name) << "RTS not cleared:" << GetLastError();
    if (!setTimeouts(h, kWin32WriteTimeouts))
        return failed("SetCommTimeouts");
    return {};
}

LineError lineErrorFromOpenFailure(unsigned long win32Error) {
    switch (win32Error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return LineError::InvalidPortNumber;
    // Windows answers "access denied" when another program has the port open; a sharing
    // violation or a busy device (as Wine may report it) means the same to the user.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return LineError::PortInUse;
    default:
        return LineError::OpenFailed;
    }
}

bool win32ErrorMeansDeviceGone(unsigned long win32Error) {
    switch (win32Error) {
    // What Windows' USB serial drivers answer on the handle of an adapter that was pulled, and
    // what Wine answers once the device behind the port has gone (ERROR_NOT_READY).
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

Win32SerialLine::~Win32SerialLine() {
    if (IsOpen())
        ClosePort();
}

LineError Win32SerialLine::Configure(qint16 PortNum) {
    // Like the home control, the port cannot be changed under an open line.
    if (IsOpen()) {
        qCDebug(lcRadio) << "Configure" << qUtf8Printable(comName(PortNum))
                         << "refused:" << qUtf8Printable(comName(m_portNum)) << "is open";
        return LineError::OpenFailed;
    }
    m_portNum = PortNum;
    return LineError::None;
}

QString Win32SerialLine::deviceName() const { return m_portNum >= 1 ? comName(m_portNum) : QString(); }

void Win32SerialLine::lose(const char *why) {
    if (!m_handle)
        return;
    // The handle of a pulled adapter never works again: give it back. The program still holds
    // the line; its owner looks for the port's return.
    CloseHandle(asHandle(m_handle));
    m_handle = nullptr;
    m_held.clear();
    m_lost = true;
    m_stuck = false;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "gone (" << why
                     << "), waiting for it to return";
}

// After a failed call: logs it and lets go of a device that is gone. True when it was.
bool Win32SerialLine::goneAfter(const char *what) {
    const DWORD error = GetLastError();
    qCDebug(lcRadio) << what << "failed:" << error;
    if (!win32ErrorMeansDeviceGone(error))
        return false;
    lose(what);
    return true;
}

LineError Win32SerialLine::ClearBuffers() {
    if (m_lost)
        return LineError::ReadFailed;
    // Before opening nothing can be waiting; the search clears before it opens.
    if (!m_handle)
        return LineError::None;
    m_held.clear();
    if (!PurgeComm(asHandle(m_handle), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
        goneAfter("PurgeComm");
        return LineError::ReadFailed;
    }
    return LineError::None;
}

void *Win32SerialLine::openHandle(unsigned long &error) const {
    // The "\\.\" form is the only one that reaches COM10 and above; it works for all.
    const std::wstring path = (QStringLiteral("\\\\.\\") + comName(m_portNum)).toStdWString();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return nullptr;
    }
    if (const Win32SetUpFailure failure = setUpCatPort(h, comName(m_portNum)); failure.call) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << failure.call << "failed:" << failure.error;
        CloseHandle(h);
        error = ERROR_SUCCESS;
        return nullptr;
    }
    return h;
}

LineError Win32SerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    if (m_portNum < 1) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "has no device";
        return LineError::InvalidPortNumber;
    }
    DWORD error = ERROR_SUCCESS;
    m_handle = openHandle(error);
    if (!m_handle) {
        if (error == ERROR_SUCCESS)
            return LineError::OpenFailed;
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "did not open: error" << error;
        return lineErrorFromOpenFailure(error);
    }
    m_stuck = false;
    m_held.clear();
    // What waits in the port came before anything was asked (a reply in flight when another
    // program closed it, an adapter's buffer): read with the probe's reply it would be taken
    // for the radio's, or make the radio's look wrong.
    PurgeComm(asHandle(m_handle), PURGE_RXCLEAR);
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "open";
    return LineError::None;
}

LineError Win32SerialLine::reopen() {
    if (!m_lost)
        return LineError::OpenFailed;
    // Only the COM number the line was opened on; no other port is tried in its place. While
    // nothing is there the open fails at once.
    DWORD error = ERROR_SUCCESS;
    m_handle = openHandle(error);
    if (!m_handle)
        return error == ERROR_SUCCESS ? LineError::OpenFailed : lineErrorFromOpenFailure(error);
    m_lost = false;
    m_stuck = false;
    m_held.clear();
    PurgeComm(asHandle(m_handle), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "back, reopened";
    return LineError::None;
}

void Win32SerialLine::letGo() {
    if (m_handle)
        CloseHandle(asHandle(m_handle));
    m_handle = nullptr;
    m_lost = true;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "is back but not the radio; closed";
}

bool Win32SerialLine::IsOpen() const { return m_handle != nullptr || m_lost; }

LineError Win32SerialLine::ClosePort() {
    if (m_lost) {
        m_lost = false;
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed (device was gone)";
        return LineError::None;
    }
    if (!m_handle)
        return LineError::NotOpen;
    // Writes only return once their bytes are out or have timed out, so nothing is left to
    // garble by closing now.
    CloseHandle(asHandle(m_handle));
    m_handle = nullptr;
    m_held.clear();
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed";
    return LineError::None;
}

void Win32SerialLine::setStuck(bool stuck) {
    if (!setTimeouts(asHandle(m_handle), stuck ? kWin32StuckWriteTimeouts : kWin32WriteTimeouts)) {
        goneAfter("SetCommTimeouts");
        return;
    }
    m_stuck = stuck;
}

LineError Win32SerialLine::WriteBytes(const QByteArray &bytes) {
    if (m_lost)
        return LineError::WriteFailed;
    if (!m_handle)
        return LineError::NotOpen;
    if (bytes.isEmpty())
        return LineError::None;
    DWORD written = 0;
    if (!WriteFile(asHandle(m_handle), bytes.constData(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
        if (goneAfter("write"))
            return LineError::WriteFailed;
    } else if (written == static_cast<DWORD>(bytes.size())) {
        if (m_stuck)
            setStuck(false);
        return LineError::None;
    } else {
        // The write timeout ran out: the line is not taking bytes.
        qCDebug(lcRadio) << "write stalled after" << written << "of" << bytes.size() << "bytes";
    }
    // Bytes that could not leave now must not go out later, in the middle of another block.
    if (!PurgeComm(asHandle(m_handle), PURGE_TXABORT | PURGE_TXCLEAR) && goneAfter("PurgeComm"))
        return LineError::WriteFailed;
    if (!m_stuck)
        setStuck(true);
    return LineError::WriteFailed;
}

std::optional<qint16> Win32SerialLine::BytesWaiting() {
    if (!m_handle)
        return std::nullopt;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(asHandle(m_handle), &errors, &status)) {
        goneAfter("ClearCommError");
        return std::nullopt;
    }
    if (errors != 0)
        qCDebug(lcRadio) << "line errors" << Qt::hex << errors;
    return static_cast<qint16>(std::min<DWORD>(status.cbInQue + DWORD(m_held.size()), kInputBufferSize));
}

std::optional<QByteArray> Win32SerialLine::ReadAll() {
    if (!m_handle)
        return std::nullopt;
    // The byte a wait took in comes first; the buffer is never more than kInputBufferSize.
    const qsizetype held = m_held.size();
    QByteArray bytes(kInputBufferSize, Qt::Uninitialized);
    std::copy(m_held.cbegin(), m_held.cend(), bytes.begin());
    DWORD got = 0;
    if (!ReadFile(asHandle(m_handle), bytes.data() + held, static_cast<DWORD>(bytes.size() - held), &got,
                  nullptr)) {
        goneAfter("read");
        return std::nullopt;
    }
    m_held.clear();
    bytes.truncate(held + static_cast<qsizetype>(got));
    return bytes;
}

void Win32SerialLine::waitForInput(MonotonicClock &clock, MonotonicClock::time_point deadline) {
    // A byte already taken in, or nothing open: the read that follows answers at once.
    if (!m_handle || !m_held.isEmpty())
        return;
    // The driver wakes the read when a byte comes. A wait is cut into slices so that stopping
    // the owner (whose clock then runs out) is seen within one.
    const auto end = std::min(deadline, clock.now() + kWaitSlice);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock.now()).count();
    if (left <= 0)
        return;
    HANDLE h = asHandle(m_handle);
    const Win32WriteTimeouts write = m_stuck ? kWin32StuckWriteTimeouts : kWin32WriteTimeouts;
    if (!setTimeouts(h, write, static_cast<DWORD>(left))) {
        goneAfter("SetCommTimeouts");
        return;
    }
    char byte = 0;
    DWORD got = 0;
    const bool read = ReadFile(h, &byte, 1, &got, nullptr);
    if (!read) {
        goneAfter("read");
        return;
    }
    if (got == 1)
        m_held.append(byte);
    if (!setTimeouts(h, write))
        goneAfter("SetCommTimeouts");
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "win32serialline.h"

#include "logging.h"

#include <windows.h>

#include <algorithm>

namespace quillon {

namespace {

HANDLE asHandle(void *h) { return static_cast<HANDLE>(h); }

bool setUp(HANDLE h, qint16 port) {
    if (!SetupComm(h, kInputBufferSize, kOutputBufferSize))
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "SetupComm failed:" << GetLastError();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "GetCommState failed:" << GetLastError();
        return false;
    }
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE; // NUL bytes are data (filter bytes and replies contain them)
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb)) {
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "SetCommState failed:" << GetLastError();
        return false;
    }
    // SetCommState may leave the lines as they were; lower both outright. A pseudo-terminal
    // behind Wine has no modem lines; that is no reason to give up on the port.
    if (!EscapeCommFunction(h, CLRDTR))
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "DTR not cleared:" << GetLastError();
    if (!EscapeCommFunction(h, CLRRTS))
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "RTS not cleared:" << GetLastError();

    // Reads return at once with whatever has arrived; the program does its own waiting.
    // Writes are bounded so that a stuck line fails the write instead of hanging the window.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = kWin32WriteTimeouts.perByteMs;
    timeouts.WriteTotalTimeoutConstant = kWin32WriteTimeouts.constantMs;
    if (!SetCommTimeouts(h, &timeouts)) {
        qCDebug(lcRadio) << qUtf8Printable(comName(port)) << "SetCommTimeouts failed:" << GetLastError();
        return false;
    }
    return true;
}

} // namespace

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

LineError Win32SerialLine::ClearBuffers() {
    // Before opening nothing can be waiting; the search clears before it opens.
    if (!IsOpen())
        return LineError::None;
    if (!PurgeComm(asHandle(m_handle), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
        qCDebug(lcRadio) << "PurgeComm failed:" << GetLastError();
        return LineError::ReadFailed;
    }
    return LineError::None;
}

LineError Win32SerialLine::OpenPort() {
    if (IsOpen())
        return LineError::OpenFailed;
    if (m_portNum < 1) {
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "has no device";
        return LineError::InvalidPortNumber;
    }
    // The "\\.\" form is the only one that reaches COM10 and above; it works for all.
    const std::wstring path = (QStringLiteral("\\\\.\\") + comName(m_portNum)).toStdWString();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "did not open: error" << error;
        return lineErrorFromOpenFailure(error);
    }
    if (!setUp(h, m_portNum)) {
        CloseHandle(h);
        return LineError::OpenFailed;
    }
    m_handle = h;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "open";
    return LineError::None;
}

bool Win32SerialLine::IsOpen() const { return m_handle != nullptr; }

LineError Win32SerialLine::ClosePort() {
    if (!IsOpen())
        return LineError::NotOpen;
    // Writes only return once their bytes are out or have timed out, so nothing is left to
    // garble by closing now.
    CloseHandle(asHandle(m_handle));
    m_handle = nullptr;
    qCDebug(lcRadio) << qUtf8Printable(comName(m_portNum)) << "closed";
    return LineError::None;
}

LineError Win32SerialLine::WriteBytes(const QByteArray &bytes) {
    if (!IsOpen())
        return LineError::NotOpen;
    if (bytes.isEmpty())
        return LineError::None;
    DWORD written = 0;
    if (!WriteFile(asHandle(m_handle), bytes.constData(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
        qCDebug(lcRadio) << "write failed:" << GetLastError();
        return LineError::WriteFailed;
    }
    if (written != static_cast<DWORD>(bytes.size())) {
        // The write timeout ran out: the line is not taking bytes.
        qCDebug(lcRadio) << "write stalled after" << written << "of" << bytes.size() << "bytes";
        return LineError::WriteFailed;
    }
    return LineError::None;
}

std::optional<qint16> Win32SerialLine::BytesWaiting() {
    if (!IsOpen())
        return std::nullopt;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(asHandle(m_handle), &errors, &status)) {
        qCDebug(lcRadio) << "ClearCommError failed:" << GetLastError();
        return std::nullopt;
    }
    if (errors != 0)
        qCDebug(lcRadio) << "line errors" << Qt::hex << errors;
    return static_cast<qint16>(std::min<DWORD>(status.cbInQue, kInputBufferSize));
}

std::optional<QByteArray> Win32SerialLine::ReadAll() {
    if (!IsOpen())
        return std::nullopt;
    QByteArray bytes(kInputBufferSize, Qt::Uninitialized);
    DWORD got = 0;
    if (!ReadFile(asHandle(m_handle), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
        qCDebug(lcRadio) << "read failed:" << GetLastError();
        return std::nullopt;
    }
    bytes.truncate(static_cast<qsizetype>(got));
    return bytes;
}

} // namespace quillon

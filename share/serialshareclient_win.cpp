// SPDX-License-Identifier: GPL-3.0-or-later
#include "serialshareclient.h"

#include "logging.h"

#include "radio/serialline.h"
#include "radio/win32serialline.h"

#include <QWinEventNotifier>

#include <windows.h>

#include <algorithm>
#include <utility>

namespace quillon {

// Overlapped I/O, so that nothing here waits: reads take only what has arrived, and a reply is
// handed to the port and left to go out at the line's pace.
struct SerialShareClient::Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED readOv{};
    OVERLAPPED writeOv{};
    QByteArray writing; // handed to the port, not yet done
    QByteArray queued;  // to be handed over once that is
    QWinEventNotifier writeNotifier;
    QTimer poll;

    Port() {
        for (OVERLAPPED *ov : {&readOv, &writeOv})
            ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writeNotifier.setHandle(writeOv.hEvent);
    }
    ~Port() {
        close();
        for (OVERLAPPED *ov : {&readOv, &writeOv})
            CloseHandle(ov->hEvent);
    }
    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }
    void close() {
        if (!isOpen())
            return;
        poll.stop();
        writeNotifier.setEnabled(false);
        // A write still going is cancelled; it must have ended before its buffer goes.
        CancelIo(handle);
        if (!writing.isEmpty())
            WaitForSingleObject(writeOv.hEvent, 1000);
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        writing.clear();
        queued.clear();
    }
};

namespace {

// How often the input queue is looked at between the window's exchanges: well within the time a
// program's block may wait for the line.
constexpr std::chrono::milliseconds kInputLook{20};

} // namespace

SerialShareClient::SerialShareClient() : m_port(std::make_unique<Port>()) {
    // Windows can announce input (WaitCommEvent), but Wine ends that wait at once on a port
    // behind a pseudo-terminal, and a port that does not announce must not go unheard: looking at
    // the input queue every few milliseconds costs next to nothing and works everywhere.
    m_port->poll.setInterval(kInputLook);
    connect(&m_port->poll, &QTimer::timeout, this, [this] {
        Port &p = *m_port;
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(p.handle, &errors, &status)) {
            if (win32ErrorMeansDeviceGone(GetLastError()))
                lose("status failed");
            return;
        }
        if (status.cbInQue > 0)
            emit inputArrived();
    });
    connect(&m_port->writeNotifier, &QWinEventNotifier::activated, this, [this] { finishWrite(); });
    m_look.setInterval(kLookInterval);
    connect(&m_look, &QTimer::timeout, this, [this] {
        QString why;
        if (!openPort(&why))
            return;
        m_look.stop();
        qCInfo(lcShare).noquote() << name() << "is back";
    });
}

SerialShareClient::~SerialShareClient() = default;

bool SerialShareClient::open(const QString &port, QString *why) {
    m_name = port.toUpper();
    return openPort(why);
}

bool SerialShareClient::openPort(QString *why) {
    // The "\\.\" form is the only one that reaches COM10 and above.
    const std::wstring path = (QStringLiteral("\\\\.\\") + m_name).toStdWString();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (lineErrorFromOpenFailure(error)) {
        case LineError::InvalidPortNumber:
            *why = QStringLiteral("%1 does not exist.").arg(m_name);
            break;
        case LineError::PortInUse:
            *why = QStringLiteral("%1 is in use by another program.").arg(m_name);
            break;
        default:
            *why = QStringLiteral("%1 could not be opened (Windows error %2).").arg(m_name).arg(error);
            break;
        }
        return false;
    }
    // Writes are bounded as on the radio's port: a port whose other end stops it drops what does
    // not go, rather than gather replies for a program that reopens it later.
    if (const Win32SetUpFailure failure = setUpCatPort(h, m_name); failure.call) {
        *why = QStringLiteral("%1 is not a serial port (Windows error %2).").arg(m_name).arg(failure.error);
        CloseHandle(h);
        return false;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    m_port->handle = h;
    m_port->writeNotifier.setEnabled(true);
    m_port->poll.start();
    return true;
}

void SerialShareClient::lose(const char *why) {
    if (!m_port->isOpen())
        return;
    m_port->close();
    m_look.start();
    qCWarning(lcShare).noquote() << name() << "gone (" << why << "), waiting for it to return";
}

bool SerialShareClient::isConnected() const { return m_port->isOpen(); }

QByteArray SerialShareClient::readInput(qsizetype most) {
    Port &p = *m_port;
    QByteArray in;
    // What is not asked for stays in the port's input queue, and a program flooding its end
    // cannot keep us here.
    while (p.isOpen() && in.size() < most) {
        // Also clears a break or a framing error, which would otherwise be reported again.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(p.handle, &errors, &status)) {
            if (win32ErrorMeansDeviceGone(GetLastError()))
                lose("status failed");
            break;
        }
        if (status.cbInQue == 0)
            break;
        QByteArray chunk(qsizetype(std::min<DWORD>(status.cbInQue, DWORD(most - in.size()))),
                         Qt::Uninitialized);
        DWORD got = 0;
        ResetEvent(p.readOv.hEvent);
        if (!ReadFile(p.handle, chunk.data(), DWORD(chunk.size()), nullptr, &p.readOv) &&
            GetLastError() != ERROR_IO_PENDING) {
            if (win32ErrorMeansDeviceGone(GetLastError()))
                lose("read failed");
            break;
        }
        // Completes at once: the read takes only what has arrived.
        if (!GetOverlappedResult(p.handle, &p.readOv, &got, TRUE) || got == 0)
            break;
        in += chunk.left(qsizetype(got));
    }
    return in;
}

void SerialShareClient::deliver(const QByteArray &bytes) {
    Port &p = *m_port;
    if (!p.isOpen())
        return;
    // The last write may have ended while no event loop ran to say so.
    if (!p.writing.isEmpty())
        finishWrite();
    if (p.writing.size() + p.queued.size() + bytes.size() > kMaxUnsent) {
        qCDebug(lcShare).noquote() << name() << "dropped" << bytes.size()
                                   << "reply bytes: the port takes none";
        return;
    }
    p.queued += bytes;
    if (p.writing.isEmpty())
        startWrite();
}

void SerialShareClient::startWrite() {
    Port &p = *m_port;
    if (!p.isOpen() || p.queued.isEmpty())
        return;
    p.writing = std::exchange(p.queued, {});
    ResetEvent(p.writeOv.hEvent);
    if (!WriteFile(p.handle, p.writing.constData(), DWORD(p.writing.size()), nullptr, &p.writeOv) &&
        GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        qCDebug(lcShare).noquote() << name() << "write failed:" << error;
        p.writing.clear();
        if (win32ErrorMeansDeviceGone(error))
            lose("write failed");
    }
    // Done at once or not, the write's event says so, and finishWrite takes it from there.
}

void SerialShareClient::finishWrite() {
    Port &p = *m_port;
    if (!p.isOpen() || p.writing.isEmpty())
        return;
    DWORD written = 0;
    if (!GetOverlappedResult(p.handle, &p.writeOv, &written, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        written = 0;
        if (win32ErrorMeansDeviceGone(error)) {
            lose("write failed");
            return;
        }
    }
    if (written < DWORD(p.writing.size()))
        qCDebug(lcShare).noquote() << name() << "dropped" << p.writing.size() - qsizetype(written)
                                   << "reply bytes the port did not take in time";
    p.writing.clear();
    ResetEvent(p.writeOv.hEvent);
    startWrite();
}

} // namespace quillon

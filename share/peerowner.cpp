// SPDX-License-Identifier: GPL-3.0-or-later
#include "peerowner.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cstring>
#include <tuple>

#if defined(Q_OS_LINUX)
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon {

namespace {

// "0100007F:1F40": the address as the kernel prints it, each 32-bit word of it in the machine's
// own byte order, then the port.
std::optional<std::pair<QHostAddress, quint16>> parseEnd(QByteArrayView field) {
    const qsizetype colon = field.indexOf(':');
    if (colon != 8 && colon != 32)
        return std::nullopt;
    quint8 bytes[16];
    for (qsizetype w = 0; w < colon / 8; ++w) {
        bool ok = false;
        const quint32 word = field.sliced(w * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        std::memcpy(bytes + w * 4, &word, 4);
    }
    bool ok = false;
    const uint port = field.sliced(colon + 1).toUInt(&ok, 16);
    if (!ok || port > 0xFFFF)
        return std::nullopt;
    QHostAddress address;
    if (colon == 8)
        address.setAddress(quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 |
                           bytes[3]);
    else
        address.setAddress(bytes);
    return std::make_pair(address, static_cast<quint16>(port));
}

#if defined(Q_OS_LINUX)

constexpr int kListening = 0x0A;

bool sameAddress(const QHostAddress &a, const QHostAddress &b) {
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

std::vector<SocketRow> systemSockets() {
    std::vector<SocketRow> rows;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(path));
        // The files are generated as they are read, and report size 0: read until the end.
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray text = file.readAll();
            for (SocketRow &row : parseSocketTable(text))
                rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The process of the user's that holds the socket: only its own processes' descriptors (or, for
// root, everyone's) can be read.
void findProcess(quint64 inode, uint uid, PeerOwner &owner) {
    if (inode == 0)
        return;
    const QByteArray target = "socket:[" + QByteArray::number(inode) + ']';
    std::vector<qint64> pids;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc))
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
                pids.push_back(QByteArray(entry->d_name).toLongLong());
        ::closedir(proc);
    }
    // The newest first: a program that has just connected was most likely started lately.
    std::sort(pids.rbegin(), pids.rend());
    for (const qint64 pid : pids) {
        const QByteArray dir = "/proc/" + QByteArray::number(pid);
        struct stat st {};
        if (::stat(dir.constData(), &st) != 0 || st.st_uid != uid)
            continue;
        DIR *fds = ::opendir((dir + "/fd").constData());
        if (!fds)
            continue;
        bool found = false;
        while (const dirent *fd = ::readdir(fds)) {
            char link[64];
            const QByteArray path = dir + "/fd/" + fd->d_name;
            const ssize_t n = ::readlink(path.constData(), link, sizeof link);
            if (n == target.size() && std::memcmp(link, target.constData(), size_t(n)) == 0) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
        if (found) {
            owner.pid = pid;
            QFile comm(QString::fromLatin1(dir + "/comm"));
            if (comm.open(QIODevice::ReadOnly))
                owner.program = QString::fromLocal8Bit(comm.readAll().trimmed());
            return;
        }
    }
}

PeerOwner ownerOf(const SocketRow &row) {
    PeerOwner owner;
    // A socket whose program has closed it lives on in the kernel's time-wait table, whose rows
    // name nobody: uid 0 and no inode. That is not root, it is unknown (another user's program
    // that sends and closes at once would otherwise pass for root's).
    if (row.inode == 0)
        return owner;
    owner.uid = row.uid;
    findProcess(row.inode, row.uid, owner);
    return owner;
}

#endif

} // namespace

std::vector<SocketRow> parseSocketTable(QByteArrayView text) {
    std::vector<SocketRow> rows;
    for (const QByteArray &line : QByteArray::fromRawData(text.data(), text.size()).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10 || !fields[0].endsWith(':'))
            continue; // the header, or a line cut short
        const auto local = parseEnd(fields[1]);
        const auto remote = parseEnd(fields[2]);
        bool stateOk = false, uidOk = false, inodeOk = false;
        SocketRow row;
        row.state = fields[3].toInt(&stateOk, 16);
        row.uid = fields[7].toUInt(&uidOk);
        row.inode = fields[9].toULongLong(&inodeOk);
        if (!local || !remote || !stateOk || !uidOk || !inodeOk)
            continue;
        std::tie(row.local, row.localPort) = *local;
        std::tie(row.remote, row.remotePort) = *remote;
        rows.push_back(std::move(row));
    }
    return rows;
}

PeerOwner loopbackPeerOwner(const QHostAddress &peer, quint16 peerPort, const QHostAddress &local,
                            quint16 localPort) {
#if defined(Q_OS_LINUX)
    // The client's own socket: its local end is the peer, its far end us.
    for (const SocketRow &row : systemSockets())
        if (row.localPort == peerPort && row.remotePort == localPort && sameAddress(row.local, peer) &&
            sameAddress(row.remote, local))
            return ownerOf(row);
#else
    Q_UNUSED(peer);
    Q_UNUSED(peerPort);
    Q_UNUSED(local);
    Q_UNUSED(localPort);
#endif
    return {};
}

PeerOwner portHolder(const QHostAddress &address, quint16 port) {
#if defined(Q_OS_LINUX)
    for (const SocketRow &row : systemSockets())
        if (row.state == kListening && row.localPort == port &&
            (sameAddress(row.local, address) || row.local.isEqual(QHostAddress::AnyIPv4) ||
             row.local.isEqual(QHostAddress::AnyIPv6)))
            return ownerOf(row);
#else
    Q_UNUSED(address);
    Q_UNUSED(port);
#endif
    return {};
}

std::optional<uint> ownUid() {
#if defined(Q_OS_LINUX)
    return ::geteuid();
#else
    return std::nullopt;
#endif
}

bool mayUseRadio(const PeerOwner &owner) {
#if defined(Q_OS_LINUX)
    return owner.uid && (owner.uid == ownUid() || *owner.uid == 0);
#else
    Q_UNUSED(owner);
    return true;
#endif
}

QString describeProcess(const PeerOwner &owner) {
    if (owner.pid == 0)
        return {};
    return QStringLiteral("%1, pid %2")
        .arg(owner.program.isEmpty() ? QStringLiteral("?") : owner.program)
        .arg(owner.pid);
}

QString describeUser(const PeerOwner &owner) {
    if (!owner.uid)
        return QStringLiteral("an unknown user");
    QString name;
#if defined(Q_OS_LINUX)
    if (const passwd *pw = ::getpwuid(*owner.uid))
        name = QString::fromLocal8Bit(pw->pw_name);
#endif
    return name.isEmpty() ? QStringLiteral("uid %1").arg(*owner.uid)
                          : QStringLiteral("%1 (uid %2)").arg(name).arg(*owner.uid);
}

} // namespace quillon

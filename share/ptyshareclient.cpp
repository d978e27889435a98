// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptyshareclient.h"

#include "logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace quillon {

PtyShareClient::~PtyShareClient() {
    delete m_notifier;
    if (m_keepOpen >= 0)
        ::close(m_keepOpen);
    if (m_master >= 0)
        ::close(m_master);
    // Only our own link goes; one that meanwhile points elsewhere belongs to someone else.
    if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_device)
        QFile::remove(m_link);
}

bool PtyShareClient::open(const QString &link, QString *error) {
    auto fail = [&](const QString &what) {
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        return fail(QStringLiteral("no pseudo-terminal"));
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail(QStringLiteral("pseudo-terminal not usable"));
    m_device = QString::fromLocal8Bit(::ptsname(m_master));
    const QByteArray device = QFile::encodeName(m_device);
    m_keepOpen = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keepOpen < 0)
        return fail(m_device);
    // Raw both ways: a terminal's echo would send the replies back to us as a client's bytes.
    termios tio{};
    if (::tcgetattr(m_keepOpen, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_keepOpen, TCSANOW, &tio);
    }
    if (::fchmod(m_keepOpen, 0600) != 0)
        return fail(m_device);

    QDir().mkpath(QFileInfo(link).path());
    ::chmod(QFile::encodeName(QFileInfo(link).path()).constData(), 0700);
    const QFileInfo old(link);
    if (old.isSymLink() || old.exists()) {
        if (!old.isSymLink()) {
            *error = QStringLiteral("%1 exists and is not a link").arg(link);
            return false;
        }
        QFile::remove(link);
    }
    if (::symlink(device.constData(), QFile::encodeName(link).constData()) != 0)
        return fail(link);
    m_link = link;

    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyShareClient::inputArrived);
    return true;
}

QByteArray PtyShareClient::takeInput() {
    QByteArray in;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            in.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // nothing more (EAGAIN)
    }
    return in;
}

void PtyShareClient::deliver(const QByteArray &bytes) {
    // A reply is a few dozen bytes and the terminal holds kilobytes; what does not fit belongs
    // to a program that stopped reading.
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (done < bytes.size())
        qCDebug(lcShare).noquote() << name() << "dropped" << bytes.size() - done
                                   << "reply bytes nobody reads";
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptyshareclient.h"

#include "logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
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

namespace {

// The link's folder. One Quillon makes is the user's alone (0700); one that exists is used as it
// is, never changed (it may be /tmp, or a folder of the user's with other uses), unless other
// users may write to it or own it: they could put a link of their own in the way.
bool prepareLinkFolder(const QString &folder, QString *error) {
    const QByteArray path = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        if (errno != ENOENT) {
            *error = QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        // Each missing folder on the way, the last one included, is made private.
        const QString parent = QFileInfo(folder).path();
        if (parent != folder && !prepareLinkFolder(parent, error))
            return false;
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        return true;
    }
    const QString mode = QStringLiteral("%1").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (!S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(folder);
        return false;
    }
    if (st.st_mode & S_IWOTH) {
        *error =
            QStringLiteral("Quillon won't put the link in %1: every user may write to that folder (mode %2), "
                           "so another one could put a link of their own in its place. Give --share-link a "
                           "path in a folder of your own.")
                .arg(folder, mode);
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        *error = QStringLiteral("Quillon won't put the link in %1: the folder belongs to another user. Give "
                                "--share-link a path in a folder of your own.")
                     .arg(folder);
        return false;
    }
    return true;
}

// Points link at device. An old link is replaced in one step: the new one is made beside it
// under a name of its own and renamed over it, so that there is never a moment without a link
// (a program opening it then would fail) nor one in which another could put its own in place.
bool placeLink(const QByteArray &device, const QString &link, QString *error) {
    const QFileInfo where(link);
    for (int attempt = 0;; ++attempt) {
        const QString temporary =
            where.absolutePath() + QStringLiteral("/.%1.%2-%3")
                                       .arg(where.fileName())
                                       .arg(QCoreApplication::applicationPid())
                                       .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        const QByteArray path = QFile::encodeName(temporary);
        if (::symlink(device.constData(), path.constData()) != 0) {
            if (errno == EEXIST && attempt < 10)
                continue;
            *error = QStringLiteral("%1: %2").arg(link, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (::rename(path.constData(), QFile::encodeName(link).constData()) != 0) {
            *error = QStringLiteral("%1: %2").arg(link, QString::fromLocal8Bit(std::strerror(errno)));
            ::unlink(path.constData());
            return false;
        }
        return true;
    }
}

} // namespace

bool PtyShareClient::open(const QString &link, QString *error) {
    auto fail = [&](const QString &what) {
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    if (!prepareLinkFolder(QFileInfo(link).absolutePath(), error))
        return false;
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

    const QFileInfo old(link);
    if (old.exists() && !old.isSymLink()) {
        *error = QStringLiteral("%1 exists and is not a link").arg(link);
        return false;
    }
    if (!placeLink(device, link, error))
        return false;
    m_link = link;

    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyShareClient::inputArrived);
    return true;
}

QByteArray PtyShareClient::readInput(qsizetype most) {
    QByteArray in(most, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < most) {
        const ssize_t n = ::read(m_master, in.data() + got, static_cast<size_t>(most - got));
        if (n > 0)
            got += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break; // nothing more (EAGAIN)
    }
    in.truncate(got);
    // The notifier fires as long as the terminal holds input: it stays off while what is left
    // waits for room, which the next call makes.
    if (m_notifier)
        m_notifier->setEnabled(got < most);
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

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cputime.h"

#if defined(__linux__)
#include <QDir>
#include <QFile>

#include <unistd.h>

namespace quillon::sim {

double namedThreadsCpuSeconds(const char *name) {
    double seconds = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // After the command's closing parenthesis: state is field 3, utime 14 and stime 15.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            seconds +=
                double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

} // namespace quillon::sim
#endif

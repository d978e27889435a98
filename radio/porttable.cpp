// SPDX-License-Identifier: GPL-3.0-or-later
#include "porttable.h"

#include "serialline.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace quillon {

namespace {

// Natural order: runs of digits compare by value, so ttyUSB2 comes before ttyUSB10.
bool naturalLess(const QString &a, const QString &b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            qsizetype ie = i;
            qsizetype je = j;
            while (ie < a.size() && a.at(ie).isDigit())
                ++ie;
            while (je < b.size() && b.at(je).isDigit())
                ++je;
            // Compare values without overflow: strip leading zeros, then length, then digits.
            QStringView da = QStringView(a).mid(i, ie - i);
            QStringView db = QStringView(b).mid(j, je - j);
            while (da.size() > 1 && da.front() == u'0')
                da = da.mid(1);
            while (db.size() > 1 && db.front() == u'0')
                db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            if (const int c = da.compare(db); c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b; // equal in natural order ("tty01" vs "tty1"): keep a total order
}

} // namespace

QStringList orderPortTable(QList<PortCandidate> candidates) {
    candidates.removeIf([](const PortCandidate &c) { return !c.hasUart; });
    std::sort(candidates.begin(), candidates.end(), [](const PortCandidate &a, const PortCandidate &b) {
        if (a.isUsbOrAcm != b.isUsbOrAcm)
            return a.isUsbOrAcm;
        return naturalLess(a.portName, b.portName);
    });
    QStringList out;
    for (const PortCandidate &c : candidates) {
        const QString device = c.systemLocation.isEmpty() ? c.portName : c.systemLocation;
        if (!out.contains(device))
            out.append(device);
    }
    return out;
}

QString portIdentity(const QString &port) {
    static const QRegularExpression com(QStringLiteral(R"(^(?:\\\\\.\\)?(COM[1-9][0-9]*)$)"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch m = com.match(port); m.hasMatch())
        return m.captured(1).toUpper();
    const QString canonical = QFileInfo(port).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(port) : canonical;
}

QString PortTable::deviceFor(int portNum) const {
    if (portNum < 1)
        return {};
    if (m_identity)
        return comName(portNum);
    if (portNum > m_devices.size())
        return {};
    return m_devices.at(portNum - 1);
}

PortTable PortTable::identity() {
    PortTable table;
    table.m_identity = true;
    return table;
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "portchoice.h"

#include "tcpserialline.h"

#include <QHostAddress>
#include <QRegularExpression>

#if defined(Q_OS_WIN)
#include "win32serialline.h"
#else
#include "posixserialline.h"
#endif

namespace quillon {

namespace {

// Windows numbers its ports up to COM256.
constexpr int kLastComNumber = 256;

std::optional<PortChoice> network(const QString &where, QString *error) {
    const auto fail = [error](const QString &why) {
        *error = why;
        return std::nullopt;
    };
    QString host;
    QString port;
    if (where.startsWith(QLatin1Char('['))) {
        const qsizetype close = where.indexOf(QLatin1String("]:"));
        if (close < 0)
            return fail(QStringLiteral("write an IPv6 address as [address]:port"));
        host = where.mid(1, close - 1);
        port = where.mid(close + 2);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("%1 is not an IPv6 address").arg(host));
    } else {
        const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
        host = where.left(colon);
        port = where.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("write an IPv6 address in brackets: [address]:port"));
        // A name as the resolver takes it: letters, digits, dots, hyphens and underscores.
        static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9._-]+$"));
        if (!name.match(host).hasMatch())
            return fail(QStringLiteral("%1 is not a host name or address").arg(host));
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number < 1 || number > 65535)
        return fail(QStringLiteral("the TCP port after the colon must be 1 to 65535"));
    PortChoice choice;
    choice.kind = PortChoice::Kind::Network;
    choice.host = host;
    choice.tcpPort = static_cast<quint16>(number);
    choice.text = where;
    return choice;
}

} // namespace

std::optional<PortChoice> parsePortChoice(const QString &where, QString *error) {
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch m = com.match(where);
        m.hasMatch() && m.captured(1).toInt() <= kLastComNumber) {
        PortChoice choice;
        choice.kind = PortChoice::Kind::Com;
        choice.com = static_cast<qint16>(m.captured(1).toInt());
        choice.text = comName(choice.com);
        return choice;
    }
#if !defined(Q_OS_WIN)
    if (where.startsWith(QLatin1Char('/'))) {
        PortChoice choice;
        choice.kind = PortChoice::Kind::Device;
        choice.device = where;
        choice.text = where;
        return choice;
    }
#endif
    if (where.contains(QLatin1Char(':')))
        return network(where, error);
#if defined(Q_OS_WIN)
    *error =
        QStringLiteral("not a port: give COM1 to COM%1, or host:port of a serial server").arg(kLastComNumber);
#else
    *error = QStringLiteral("not a port: give COM1 to COM%1, a device path such as /dev/ttyUSB1, or "
                            "host:port of a serial server")
                 .arg(kLastComNumber);
#endif
    return std::nullopt;
}

SearchPlan searchPlanFor(const PortChoice &choice) {
    switch (choice.kind) {
    case PortChoice::Kind::Search:
        return {};
    case PortChoice::Kind::Com:
        return {choice.com, choice.com, choice.text, {}};
    case PortChoice::Kind::Device:
    case PortChoice::Kind::Network:
        // The line has the one device, as COM1.
        return {kFirstPort, kFirstPort, choice.text, {}};
    }
    return {};
}

std::unique_ptr<SerialLine> lineFor(const PortChoice &choice, const std::function<PortTable()> &systemTable) {
    if (choice.kind == PortChoice::Kind::Network)
        return std::make_unique<TcpSerialLine>(choice.host, choice.tcpPort);
#if defined(Q_OS_WIN)
    Q_UNUSED(systemTable);
    return std::make_unique<Win32SerialLine>();
#else
    if (choice.kind == PortChoice::Kind::Device)
        return std::make_unique<PosixSerialLine>(PortTable(QStringList{choice.device}));
    return std::make_unique<PosixSerialLine>(systemTable());
#endif
}

} // namespace quillon

// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include "radio/porttable.h"
#include "share/radioshare.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>

namespace quillon {

namespace {

// The serial ports count against the clients' limit, as does the pseudo-terminal on Linux; one
// place is kept for a program on TCP.
#if defined(Q_OS_WIN)
constexpr int kMaxSharePorts = ShareHub::kMaxClients - 1;
#else
constexpr int kMaxSharePorts = ShareHub::kMaxClients - 2;
#endif

// A mistake on the command line: said where the user sees it, then the process ends.
[[noreturn]] void refuse(const QString &text) {
#if defined(Q_OS_WIN)
    // A window program has no console to print to.
    QMessageBox::warning(nullptr, QStringLiteral("Quillon"), text);
#else
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
#endif
    std::exit(2);
}

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption radioPort {
        QStringLiteral("port"),
            QStringLiteral(
#if defined(Q_OS_WIN)
                "Use only this port for the radio: COMn, or host:port of a serial "
                "server such as ser2net ([address]:port for IPv6)."
#else
                "Use only this port for the radio: COMn, a device such as /dev/ttyUSB1, "
                "or host:port of a serial server such as ser2net ([address]:port for IPv6)."
#endif
                ),
            QStringLiteral("WHERE")
    };
    QCommandLineOption share{QStringLiteral("share"), QStringLiteral("Share the radio with other programs.")};
    QCommandLineOption port{
        QStringLiteral("share-port"),
        QStringLiteral("TCP port on 127.0.0.1 and ::1 (default %1).").arg(kDefaultSharePort),
        QStringLiteral("N"), QString::number(kDefaultSharePort)};
    QCommandLineOption com {
        QStringLiteral("share-com"),
#if defined(Q_OS_WIN)
            QStringLiteral("Also share the radio on this serial port (COMn), one end of a "
                           "virtual null-modem pair or a cable to another computer; may be "
                           "given more than once."),
#else
            QStringLiteral("Also share the radio on this serial device (a path), a cable to "
                           "another computer or one end of a virtual null-modem pair; may be "
                           "given more than once."),
#endif
            QStringLiteral("PORT")
    };
    QCommandLineOption rigctld{
        QStringLiteral("share-rigctld"),
        QStringLiteral("Also share the radio speaking rigctld's network protocol on this TCP port on "
                       "127.0.0.1 and ::1 (rigctld's own is %1), for programs that reach a radio only "
                       "through rigctld: Gpredict, CQRLOG, Log4OM, or Hamlib's NET rigctl (model 2).")
            .arg(kRigctldPort),
        QStringLiteral("PORT")};
    QCommandLineOption keepFilters{
        QStringLiteral("share-keep-filters"),
        QStringLiteral("Sharing programs may not select filters (flrig does at every start, a mode set "
                       "with a width does): their filter selects are dropped, on every port. Only "
                       "Quillon's own buttons and keys select.")};
#if !defined(Q_OS_WIN)
    QCommandLineOption link{QStringLiteral("share-link"),
                            QStringLiteral("Path of the link to the shared pseudo-terminal."),
                            QStringLiteral("PATH")};
#endif
    QCommandLineOption help;
    QCommandLineOption version;

    explicit Parser(bool takesDevices);
};

Parser::Parser(bool takesDevices) : help(parser.addHelpOption()), version(parser.addVersionOption()) {
    parser.setApplicationDescription(
        QStringLiteral(
            "Selects the IF filters of an FT-1000MP or FT-1000MP Mark V transceiver. It looks for the\n"
            "radio on COM1 to COM16, or only where --port says (also a serial server on the network).\n"
            "With --share, other programs (WSJT-X, fldigi, rigctld, flrig, a logger) reach the radio\n"
            "through Quillon: as serial port 127.0.0.1:PORT (Hamlib's FT-1000MP or Mark V model)%1.")
            .arg(
#if defined(Q_OS_WIN)
                QString()
#else
                QStringLiteral(",\nor as the device %1").arg(RadioShare::defaultPtyLink())
#endif
                    ));
    parser.addOption(radioPort);
    parser.addOption(share);
    parser.addOption(port);
    parser.addOption(com);
    parser.addOption(rigctld);
    parser.addOption(keepFilters);
#if !defined(Q_OS_WIN)
    parser.addOption(link);
#endif
    if (takesDevices)
        parser.addPositionalArgument(
            QStringLiteral("DEVICE"),
            QStringLiteral("Devices to use as COM1, COM2, ... (default: the virtual radio)."),
            QStringLiteral("[DEVICE...]"));
}

// The ports of --share-com, each once, as the program opens them; refuses what is no port, more
// than the limit, and the radio's own port.
QStringList sharePorts(const QStringList &values, const PortChoice &radio) {
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    QStringList ports;
    QStringList identities;
    for (const QString &value : values) {
        QString port;
#if defined(Q_OS_WIN)
        const QRegularExpressionMatch m = com.match(value);
        if (!m.hasMatch() || m.captured(1).toInt() > 256)
            refuse(QStringLiteral("--share-com %1: give a serial port, COM1 to COM256").arg(value));
        port = m.captured(0).toUpper();
#else
        if (value.isEmpty() || com.match(value).hasMatch())
            refuse(QStringLiteral("--share-com %1: give the serial device's path, such as /dev/ttyUSB1")
                       .arg(value));
        // Qt would take a bare name for one under /dev.
        port = QFileInfo(value).absoluteFilePath();
#endif
        const QString identity = portIdentity(port);
        if (identities.contains(identity))
            continue;
        const QString radioPort = radio.kind == PortChoice::Kind::Com      ? radio.text
                                  : radio.kind == PortChoice::Kind::Device ? radio.device
                                                                           : QString();
        if (!radioPort.isEmpty() && portIdentity(radioPort) == identity)
            refuse(QStringLiteral("--share-com %1: that is the radio's port (--port)").arg(value));
        identities << identity;
        ports << port;
    }
    if (ports.size() > kMaxSharePorts)
        refuse(QStringLiteral("--share-com: at most %1 ports").arg(kMaxSharePorts));
    return ports;
}

} // namespace

Options parseOptions(const QStringList &arguments, bool takesDevices) {
    Parser p(takesDevices);
    QCommandLineParser &parser = p.parser;
    if (!parser.parse(arguments))
        refuse(parser.errorText());
    if (parser.isSet(p.help))
        parser.showHelp(0);
    if (parser.isSet(p.version))
        parser.showVersion();
    const QCommandLineOption &share = p.share;
    const QCommandLineOption &port = p.port;

    Options result;
    result.share = parser.isSet(share) || parser.isSet(port);
    bool ok = false;
    const uint n = parser.value(port).toUInt(&ok);
    if (!ok || n > 65535)
        refuse(QStringLiteral("--share-port takes a port number, 0 to 65535"));
    result.sharePort = static_cast<quint16>(n);
#if !defined(Q_OS_WIN)
    result.shareLink = parser.value(p.link);
    result.share = result.share || parser.isSet(p.link);
#endif
    if (parser.isSet(p.radioPort)) {
        QString why;
        const std::optional<PortChoice> choice = parsePortChoice(parser.value(p.radioPort), &why);
        if (!choice)
            refuse(QStringLiteral("--port %1: %2").arg(parser.value(p.radioPort), why));
        result.port = *choice;
    }
    if (parser.isSet(p.rigctld)) {
        const uint r = parser.value(p.rigctld).toUInt(&ok);
        if (!ok || r > 65535)
            refuse(QStringLiteral("--share-rigctld takes a port number, 0 to 65535, such as %1")
                       .arg(kRigctldPort));
        if (r != 0 && r == result.sharePort)
            refuse(QStringLiteral("--share-rigctld %1: that is the raw share port (--share-port)").arg(r));
        result.shareRigctld = static_cast<quint16>(r);
        result.share = true;
    }
    result.shareKeepFilters = parser.isSet(p.keepFilters);
    result.share = result.share || result.shareKeepFilters;
    result.shareCom = sharePorts(parser.values(p.com), result.port);
    result.share = result.share || !result.shareCom.isEmpty();
    result.devices = parser.positionalArguments();
    if (!takesDevices && !result.devices.isEmpty())
        refuse(QStringLiteral("unexpected argument %1").arg(result.devices.front()));
    return result;
}

void answerHelpAndVersion(int argc, char *argv[], bool takesDevices) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
#if defined(Q_OS_WIN)
    // Windows needs no display; parseOptions answers there, in a box.
    Q_UNUSED(arguments);
    Q_UNUSED(takesDevices);
#else
    Parser p(takesDevices);
    // Qt's own options (-platform and the like) are not known here; only the answer matters.
    p.parser.parse(arguments);
    if (p.parser.isSet(p.help)) {
        // Without an application object Qt cannot name the program in its usage line.
        QString text = p.parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QFileInfo(arguments.value(0)).fileName());
        std::fputs(qPrintable(text), stdout);
        std::exit(0);
    }
    if (p.parser.isSet(p.version))
        p.parser.showVersion();
#endif
}

} // namespace quillon

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
    // Our own rather than Qt's (addHelpOption): Qt's --help-all would need the application object.
    QCommandLineOption help {
#if defined(Q_OS_WIN)
        {QStringLiteral("?"), QStringLiteral("h"), QStringLiteral("help")},
#else
        {QStringLiteral("h"), QStringLiteral("help")},
#endif
            QStringLiteral("Show this help and end.")
    };
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Show the version and end.")};

    explicit Parser(bool takesDevices);
};

Parser::Parser(bool takesDevices) {
    if (takesDevices)
        parser.setApplicationDescription(QStringLiteral(
            "Quillon against a radio of your choosing, for trying it without the FT-1000MP. Without\n"
            "DEVICE it starts a virtual FT-1000MP Mark V on a pseudo-terminal, which becomes COM1, and\n"
            "prints its path. With DEVICEs (another virtual radio's pseudo-terminal, a socat link, a\n"
            "real port) those become COM1, COM2, ... in that order. Takes Quillon's options too."));
    else
        parser.setApplicationDescription(QStringLiteral(
            "Selects the IF filters of an FT-1000MP or FT-1000MP Mark V transceiver. It looks for the\n"
            "radio on COM1 to COM16, or only where --port says (also a serial server on the network)."));
    parser.addOption(help);
    parser.addOption(version);
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

// What follows the options in --help: what they do together, examples, the exit statuses, how to
// see what Quillon does, and where to read more.
QString helpEpilogue(bool takesDevices) {
    QString text = QStringLiteral(
        "\nSharing: any of --share, --share-port, --share-com, --share-rigctld,\n"
        "--share-keep-filters%1 turns it on, once the radio is found. Other programs\n"
        "(WSJT-X, fldigi, flrig, a logger) then reach the radio through Quillon with Hamlib's\n"
        "FT-1000MP or Mark V model, on the serial port\n"
        "127.0.0.1:%2 (typed where the program asks for its serial port)%3.\n"
        "--share-port 0 lets the system pick a free port; Quillon says which on standard error.\n"
        "Start Quillon first, then the other programs.\n");
#if defined(Q_OS_WIN)
    text = text.arg(QString(), QString::number(kDefaultSharePort), QString());
#else
    text = text.arg(QStringLiteral(", --share-link"), QString::number(kDefaultSharePort),
                    QStringLiteral(" or on the device\n  %1").arg(RadioShare::defaultPtyLink()));
#endif
    if (takesDevices) {
        text += QStringLiteral(
            "\nExamples:\n"
            "  quillon-demo                     Quillon and a virtual radio on COM1\n"
            "  quillon-demo --share             the same, shared with other programs\n"
            "  quillon-demo /dev/pts/7          the radio quillon-radio-sim printed, as COM1\n"
            "\nExit status: 0 when the window is closed, 1 when no radio answered, 2 for a mistake\n"
            "on the command line or a virtual radio that cannot start, 3 when there is no graphical\n"
            "desktop to show the window on.\n");
    } else {
        text +=
            QStringLiteral(
                "\nExamples:\n"
#if defined(Q_OS_WIN)
                "  quillon --port COM5              use only COM5\n"
#else
                "  quillon --port /dev/ttyUSB1      use only that device\n"
#endif
                "  quillon --port shack-pi:4000     the radio on another machine, behind ser2net\n"
                "  quillon --share                  share it on 127.0.0.1:%1%2\n"
                "  quillon --share-rigctld %3     also as rigctld, for Gpredict, CQRLOG, Log4OM\n"
                "\nExit status: 0 when the window is closed, 1 when the radio was not found, 2 for a\n"
                "mistake on the command line, 3 when there is no graphical desktop to show the window on.\n")
                .arg(QString::number(kDefaultSharePort),
#if defined(Q_OS_WIN)
                     QString(),
#else
                     QStringLiteral(" and the device"),
#endif
                     QString::number(kRigctldPort));
    }
    text += QStringLiteral(
        "\nDiagnostics: QT_LOGGING_RULES=\"quillon.*.debug=true\" shows every exchange with the\n"
        "radio on standard error; the categories are quillon.radio (the line, the search, the\n"
        "commands), quillon.filters (the status polls) and quillon.share (the other programs,\n"
        "which says where it shares even without the rule).\n");
#if defined(Q_OS_WIN)
    text += QStringLiteral("\nMore: Help > Contents (F1) in the window.\n");
#else
    text += QStringLiteral("\nMore: man %1, Help > Contents (F1) in the window, and %2.\n")
                .arg(takesDevices ? QStringLiteral("quillon-demo") : QStringLiteral("quillon"),
                     QStringLiteral(QUILLON_DOC_DIR));
#endif
    return text;
}

QString helpText(const QString &program, bool takesDevices) {
    Parser p(takesDevices);
    // Qt names the program after the application object's first argument, or "<executable_name>"
    // without one: the usage line is given the name asked for.
    QString text = p.parser.helpText();
    text.replace(0, text.indexOf(QStringLiteral(" [options]")), QStringLiteral("Usage: ") + program);
    return text + helpEpilogue(takesDevices);
}

Options parseOptions(const QStringList &arguments, bool takesDevices) {
    Parser p(takesDevices);
    QCommandLineParser &parser = p.parser;
    if (!parser.parse(arguments))
        refuse(parser.errorText());
    const QString program = QFileInfo(arguments.value(0)).completeBaseName();
    if (parser.isSet(p.help) || parser.isSet(p.version)) {
        const QString text =
            parser.isSet(p.help)
                ? helpText(program, takesDevices)
                : QStringLiteral("%1 %2\n").arg(takesDevices ? program : QCoreApplication::applicationName(),
                                                QCoreApplication::applicationVersion());
#if defined(Q_OS_WIN)
        // A window program has no console to print to.
        QMessageBox::information(nullptr, QStringLiteral("Quillon"),
                                 QStringLiteral("<pre>%1</pre>").arg(text.toHtmlEscaped()));
#else
        std::fputs(qPrintable(text), stdout);
#endif
        std::exit(0);
    }
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

QStringList withoutQtOptions(int argc, char *argv[]) {
    // QGuiApplication's and QApplication's options, and those the X11 plug-in takes; with
    // "--" as well as "-", and those marked '=' also as -name=value.
    struct QtOption {
        const char *name;
        bool takesValue;
    };
    static constexpr QtOption qtOptions[] = {
        {"platform", true},        {"platformpluginpath", true},
        {"platformtheme", true},   {"plugin", true},
        {"qwindowgeometry", true}, {"geometry", true},
        {"qwindowtitle", true},    {"title", true},
        {"qwindowicon", true},     {"icon", true},
        {"session", true},         {"style", true},
        {"stylesheet", true},      {"qmljsdebugger", true},
        {"display", true},         {"name", true},
        {"visual", true},          {"reverse", false},
        {"widgetcount", false},    {"testability", false},
        {"nograb", false},         {"dograb", false},
        {"sync", false},
    };
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (i == 0 || !argument.startsWith(QLatin1Char('-'))) {
            arguments << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            // Everything after it is positional, as for Qt's parser.
            for (; i < argc; ++i)
                arguments << QString::fromLocal8Bit(argv[i]);
            break;
        }
        const QString bare = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        bool qts = false;
        for (const QtOption &option : qtOptions) {
            const QLatin1String name(option.name);
            if (bare == name) {
                qts = true;
                if (option.takesValue && i + 1 < argc)
                    ++i;
                break;
            }
            if (option.takesValue && bare.startsWith(name + QLatin1Char('='))) {
                qts = true;
                break;
            }
        }
        if (!qts)
            arguments << argument;
    }
    return arguments;
}

} // namespace quillon

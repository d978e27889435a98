// SPDX-License-Identifier: GPL-3.0-or-later
// quillon-radio-sim: the virtual radio on a pseudo-terminal, for demos and manual tests
// without the real radio. Prints the device path, then serves until interrupted.

#include "knobs.h"
#include "ptyradioserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <type_traits>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillon::sim;

namespace {

volatile std::sig_atomic_t g_quit = 0;

void onSignal(int) { g_quit = 1; }

bool parseByte(const QString &text, quint8 &out) {
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok || v > 0xFF)
        return false;
    out = static_cast<quint8>(v);
    return true;
}

bool parseFault(const QString &name, RadioFault &out) {
    static const std::pair<const char *, RadioFault> names[] = {
        {"none", RadioFault::None},           {"silent", RadioFault::Silent},
        {"wrong-id", RadioFault::WrongId},    {"short", RadioFault::ShortReply},
        {"garbage", RadioFault::Garbage},     {"late", RadioFault::LateReply},
        {"unplugged", RadioFault::Unplugged}, {"long", RadioFault::LongReply},
        {"twice", RadioFault::Repeated},
    };
    for (const auto &[n, f] : names) {
        if (name == QLatin1String(n)) {
            out = f;
            return true;
        }
    }
    return false;
}

// Knob commands from a FIFO, a file or standard input, read between the rounds of the serve
// loop so that the radio's knobs can be turned while programs talk to it.
class ControlInput {
public:
    ControlInput() = default;
    ControlInput(const ControlInput &) = delete;
    ControlInput &operator=(const ControlInput &) = delete;
    ~ControlInput() { close(); }

    bool open(const QString &path) {
        if (path == QLatin1String("-")) {
            m_fd = STDIN_FILENO;
            return true;
        }
        // A FIFO is opened for writing too: then it never reads as ended between two writers
        // (echo freq 7074000 >FIFO, twice), and opening it does not wait for the first one.
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        const bool fifo = ::stat(name.constData(), &st) == 0 && S_ISFIFO(st.st_mode);
        m_fd = ::open(name.constData(), (fifo ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        m_owned = m_fd >= 0;
        return m_fd >= 0;
    }

    // Waits up to `wait` for input and returns the whole lines that came. A file or a standard
    // input that has ended is closed; its last line counts even without a newline.
    QList<QByteArray> read(std::chrono::milliseconds wait) {
        QList<QByteArray> lines;
        if (m_fd < 0) {
            std::this_thread::sleep_for(wait);
            return lines;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
            return lines; // nothing yet, or a signal: the caller looks at its quit flag
        char buffer[512];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            m_partial.append(buffer, n);
        for (qsizetype nl; (nl = m_partial.indexOf('\n')) >= 0;) {
            lines.append(m_partial.left(nl));
            m_partial.remove(0, nl + 1);
        }
        if (n <= 0) {
            if (!m_partial.isEmpty())
                lines.append(m_partial);
            m_partial.clear();
            close();
        }
        return lines;
    }

private:
    void close() {
        if (m_owned)
            ::close(m_fd);
        m_fd = -1;
        m_owned = false;
    }

    int m_fd = -1;
    bool m_owned = false;
    QByteArray m_partial;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-radio-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a virtual FT-1000MP Mark V on a pseudo-terminal and prints its device path."));
    // Our own help option: Qt's would add --help-all, whose Qt options this program does not take.
    const QCommandLineOption helpOpt({QStringLiteral("h"), QStringLiteral("help")},
                                     QStringLiteral("Show this help and end."));
    parser.addOption(helpOpt);
    const QCommandLineOption versionOpt({QStringLiteral("v"), QStringLiteral("version")},
                                        QStringLiteral("Show the version and end."));
    parser.addOption(versionOpt);
    const QCommandLineOption mainOpt(
        QStringLiteral("main"), QStringLiteral("Main receiver filter byte (hex)."), QStringLiteral("HEX"));
    const QCommandLineOption subOpt(QStringLiteral("sub"), QStringLiteral("Sub receiver filter byte (hex)."),
                                    QStringLiteral("HEX"));
    const QCommandLineOption idOpt(QStringLiteral("id"),
                                   QStringLiteral("Probe reply ID as two hex bytes, e.g. \"03 93\"."),
                                   QStringLiteral("HEX HEX"));
    const QCommandLineOption faultOpt(
        QStringLiteral("fault"),
        QStringLiteral("Misbehave: none, silent, wrong-id, short, garbage, late, unplugged, long, twice."),
        QStringLiteral("NAME"));
    const QCommandLineOption latencyOpt(QStringLiteral("latency-ms"),
                                        QStringLiteral("Delay before a reply starts (default 5)."),
                                        QStringLiteral("N"));
    const QCommandLineOption logOpt(
        QStringLiteral("log"),
        QStringLiteral("Keep FILE holding every byte received from the program, in hex, while serving."),
        QStringLiteral("FILE"));
    const QCommandLineOption pacingOpt(QStringLiteral("pacing-ms"),
                                       QStringLiteral("Pause after each reply byte, 0 to 255 (default 0)."),
                                       QStringLiteral("N"));
    const QCommandLineOption chunkOpt(
        QStringLiteral("chunk-ms"),
        QStringLiteral(
            "Hand replies over in chunks every N ms, as a USB adapter does (default 0: byte by byte)."),
        QStringLiteral("N"));
    const QCommandLineOption freqOpt(QStringLiteral("freq"),
                                     QStringLiteral("Main receiver frequency in Hz (default 14250000)."),
                                     QStringLiteral("HZ"));
    const QCommandLineOption subFreqOpt(QStringLiteral("sub-freq"),
                                        QStringLiteral("Sub receiver frequency in Hz (default 7050000)."),
                                        QStringLiteral("HZ"));
    parser.addOptions(
        {mainOpt, subOpt, freqOpt, subFreqOpt, idOpt, faultOpt, latencyOpt, pacingOpt, chunkOpt});
    const QCommandLineOption controlOpt(
        QStringLiteral("control"),
        QStringLiteral("Turn the radio's knobs while serving: read commands a line at a time from FILE (a "
                       "FIFO, or - for standard input): freq HZ, sub-freq HZ, main HEX, sub HEX, state. "
                       "Each line is answered on standard output with the radio's state after it, in the "
                       "same words, or with \"error: ...\"."),
        QStringLiteral("FILE"));
    parser.addOption(logOpt);
    parser.addOption(controlOpt);
    // A mistake ends with status 2, as every other mistake here and in Quillon does.
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "quillon-radio-sim: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(helpOpt))
        parser.showHelp(0);
    if (parser.isSet(versionOpt))
        parser.showVersion();

    // --id takes two bytes; accept them as one quoted argument or as the next two words.
    QStringList idBytes;
    if (parser.isSet(idOpt)) {
        idBytes = parser.value(idOpt).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (idBytes.size() == 1 && !parser.positionalArguments().isEmpty())
            idBytes.append(parser.positionalArguments().first());
    } else if (!parser.positionalArguments().isEmpty()) {
        parser.showHelp(2);
    }

    QTextStream err(stderr);
    auto bad = [&](const QString &what) {
        err << "quillon-radio-sim: " << what << Qt::endl;
        return 2;
    };

    PtyRadioServer server;
    quint8 mainByte = 0;
    quint8 subByte = 0;
    quint8 id0 = 0;
    quint8 id1 = 0;
    RadioFault fault = RadioFault::None;
    // A number option, when given, must lie in [low, high]; when not given, value keeps its default.
    const auto number = [&](const QCommandLineOption &opt, qint64 low, qint64 high, auto &value) {
        if (!parser.isSet(opt))
            return true;
        bool ok = false;
        const qint64 v = parser.value(opt).toLongLong(&ok);
        if (!ok || v < low || v > high)
            return false;
        value = static_cast<std::remove_reference_t<decltype(value)>>(v);
        return true;
    };
    int latencyMs = 5;
    if (parser.isSet(mainOpt) && !parseByte(parser.value(mainOpt), mainByte))
        return bad(QStringLiteral("--main needs a hex byte"));
    if (parser.isSet(subOpt) && !parseByte(parser.value(subOpt), subByte))
        return bad(QStringLiteral("--sub needs a hex byte"));
    if (parser.isSet(idOpt) &&
        (idBytes.size() != 2 || !parseByte(idBytes[0], id0) || !parseByte(idBytes[1], id1)))
        return bad(QStringLiteral("--id needs two hex bytes"));
    if (parser.isSet(faultOpt) && !parseFault(parser.value(faultOpt), fault))
        return bad(QStringLiteral("unknown fault \"%1\"").arg(parser.value(faultOpt)));
    if (!number(latencyOpt, 0, 10000, latencyMs))
        return bad(QStringLiteral("--latency-ms needs 0 to 10000"));
    // The radio receives 100 kHz to 30 MHz; refuse what it could not show.
    quint32 mainHz = 0;
    quint32 subHz = 0;
    if (!number(freqOpt, 100'000, 30'000'000, mainHz))
        return bad(QStringLiteral("--freq needs 100000 to 30000000 (Hz)"));
    if (!number(subFreqOpt, 100'000, 30'000'000, subHz))
        return bad(QStringLiteral("--sub-freq needs 100000 to 30000000 (Hz)"));
    int pacingMs = 0;
    if (!number(pacingOpt, 0, 255, pacingMs))
        return bad(QStringLiteral("--pacing-ms needs 0 to 255"));
    int chunkMs = 0;
    if (!number(chunkOpt, 0, 1000, chunkMs))
        return bad(QStringLiteral("--chunk-ms needs 0 to 1000"));

    if (!server.start())
        return bad(server.errorString());
    server.setChunkPeriod(std::chrono::milliseconds(chunkMs));
    server.withRadio([&](VirtualRadio &radio) {
        if (parser.isSet(mainOpt))
            radio.setMainFilterByte(mainByte);
        if (parser.isSet(subOpt))
            radio.setSubFilterByte(subByte);
        if (parser.isSet(freqOpt))
            radio.setMainFrequency(mainHz);
        if (parser.isSet(subFreqOpt))
            radio.setSubFrequency(subHz);
        if (parser.isSet(idOpt))
            radio.setId(id0, id1);
        radio.setLatency(std::chrono::milliseconds(latencyMs));
        radio.setPacing(std::chrono::milliseconds(pacingMs));
        radio.setFault(fault);
    });

    ControlInput control;
    if (parser.isSet(controlOpt) && !control.open(parser.value(controlOpt)))
        return bad(QStringLiteral("cannot read --control %1: %2")
                       .arg(parser.value(controlOpt), QString::fromLocal8Bit(std::strerror(errno))));

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("%s\n", server.devicePath().toLocal8Bit().constData());
    std::fflush(stdout);

    // The log is replaced whole (write, then rename), so a reader never sees half of it.
    const QString logPath = parser.value(logOpt);
    qsizetype logged = -1;
    while (!g_quit) {
        if (!logPath.isEmpty()) {
            const QByteArray received = server.receivedBytes();
            if (received.size() != logged) {
                QSaveFile log(logPath);
                if (log.open(QIODevice::WriteOnly) && log.write(received.toHex()) >= 0 && log.commit())
                    logged = received.size();
            }
        }
        for (const QByteArray &line : control.read(std::chrono::milliseconds(50))) {
            QString answer;
            server.withRadio(
                [&](VirtualRadio &radio) { answer = turnKnobs(radio, QString::fromUtf8(line)); });
            std::printf("%s\n", answer.toUtf8().constData());
            std::fflush(stdout);
        }
    }
    server.stop();
    return 0;
}

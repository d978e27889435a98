// SPDX-License-Identifier: GPL-3.0-or-later
// quillon-radio-sim: the virtual radio on a pseudo-terminal, for demos and manual tests
// without the real radio. Prints the device path, then serves until interrupted.

#include "ptyradioserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSaveFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <thread>
#include <type_traits>

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

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-radio-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a virtual FT-1000MP Mark V on a pseudo-terminal and prints its device path."));
    parser.addHelpOption();
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
    parser.addOption(logOpt);
    parser.process(app);

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
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop();
    return 0;
}

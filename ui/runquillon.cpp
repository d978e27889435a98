// SPDX-License-Identifier: GPL-3.0-or-later
#include "runquillon.h"

#include "appicon.h"
#include "frmquillon.h"
#include "platform.h"

#include "radio/porttable.h"
#include "radio/tcpserialline.h"
#include "share/radioshare.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <vector>

#if !defined(Q_OS_WIN)
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon {

#if !defined(Q_OS_WIN) && !defined(Q_OS_MACOS)
namespace {

QString g_program;

[[noreturn]] void noDisplay(const QString &why) {
    std::fprintf(stderr,
                 "%s: needs a graphical desktop, and %s; start it from the desktop, or set "
                 "QT_QPA_PLATFORM to the display system to use\n",
                 qPrintable(g_program), qPrintable(why));
    std::fflush(nullptr);
    std::_Exit(kNoDisplayStatus);
}

// Qt's messages while the application object is made: held back, and replayed when it stands.
// Should the platform fail, Qt's six lines and abort become one line of ours.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_held;
QtMessageHandler g_previousHandler = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    if (type == QtFatalMsg)
        noDisplay(QStringLiteral("the display %1 cannot be used")
                      .arg(QString::fromLocal8Bit(qgetenv(
                          qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "DISPLAY" : "WAYLAND_DISPLAY"))));
    g_held.push_back({type, QByteArray(context.category ? context.category : "default"), text});
}

// A display to show the window on: one the session names, or a platform the user chose.
bool displayNamed(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "-platform" || argument == "--platform")
            return true;
    }
    return false;
}

// A session without XDG_RUNTIME_DIR (a plain ssh or su login): Qt falls back to a folder of its
// own and warns at every use, also while the application object is made. That folder is named
// for it once, made the user's alone as Qt would; one that is not left to Qt, which says why.
void settleRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray folder = QFile::encodeName(RadioShare::runtimeFolder());
    struct stat st {};
    if ((::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST) &&
        ::lstat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 0777) == 0700)
        qputenv("XDG_RUNTIME_DIR", folder);
}

} // namespace
#endif

std::unique_ptr<QApplication> startApplication(int &argc, char *argv[], bool takesDevices, Options &options) {
    setApplicationIdentity();
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    // Windows always has its desktop; and a mistake is said in a box, which needs the application.
    auto app = std::make_unique<QApplication>(argc, argv);
    options = parseOptions(app->arguments(), takesDevices);
    return app;
#else
    const QStringList arguments = withoutQtOptions(argc, argv);
    options = parseOptions(arguments, takesDevices);
    g_program = QFileInfo(arguments.value(0)).fileName();
    if (!displayNamed(argc, argv))
        noDisplay(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY names one"));
    settleRuntimeFolder();
    g_previousHandler = qInstallMessageHandler(holdMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    for (const HeldMessage &message : std::exchange(g_held, {})) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    return app;
#endif
}

void setApplicationIdentity() {
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    // Ties the windows to the menu entry on Wayland (X11 uses the class name "Quillon").
    QApplication::setDesktopFileName(QStringLiteral("io.github.quillon.Quillon"));
}

int runQuillon(QApplication &app, std::unique_ptr<SerialLine> line, Platform &platform,
               const Options &options) {
    setApplicationIdentity();
    QApplication::setWindowIcon(quillonIcon());
    // An open About box keeps the program running after the main window is closed.
    QApplication::setQuitOnLastWindowClosed(true);

    frmQuillon window(platform, std::move(line));
    SearchPlan plan = searchPlanFor(options.port);
    for (const QString &port : options.shareCom)
        plan.shared << portIdentity(port);
    window.setSearchPlan(plan);
    if (!window.Form_Load())
        return 1;
    // Only once the radio is found: a client has nothing to talk to before. Declared after the
    // window, whose line's owner it uses, so it goes first; the owner is stopped before that.
    std::unique_ptr<RadioShare> share;
    if (options.share) {
        share = std::make_unique<RadioShare>(window.lineOwner());
        share->keepFilters(options.shareKeepFilters);
        QString error;
        if (share->start(options.sharePort, true, options.shareLink, &error)) {
            window.setShare(share.get());
            // Said once, before the window; Quillon goes on without those ports.
            const QList<RadioShare::PortProblem> problems =
                share->serveSerialPorts(options.shareCom, window.serialLine().deviceName());
            if (!problems.isEmpty()) {
                QStringList ports;
                QStringList why;
                for (const RadioShare::PortProblem &problem : problems) {
                    ports << problem.port;
                    why << problem.why;
                }
                why << (problems.size() == 1 ? QStringLiteral("Quillon runs without it.")
                                             : QStringLiteral("Quillon runs without them."));
                platform.showMessage(QStringLiteral("Quillon couldn't share the radio on %1")
                                         .arg(ports.join(QStringLiteral(", "))),
                                     QStringLiteral("Quillon"), why.join(QLatin1Char(' ')));
            }
            // The raw port stays shared whatever becomes of this one.
            QString rigctlError;
            if (options.shareRigctld && !share->startRigctld(*options.shareRigctld, &rigctlError))
                platform.showMessage(QStringLiteral("Quillon couldn't speak rigctld's protocol"),
                                     QStringLiteral("Quillon"),
                                     rigctlError + QStringLiteral(" Quillon shares the radio without it."));
        } else {
            share.reset();
            platform.showMessage(QStringLiteral("Quillon couldn't share the radio with other programs"),
                                 QStringLiteral("Quillon"), error);
        }
    }
    window.showCentred();
    const int status = app.exec();
    window.setShare(nullptr);
    // The loop may end with the window still open (the session ending, say). Stopping the owner
    // first ends its waits at once, so the share's withdrawal never waits for a client's exchange.
    window.Form_Unload();
    return status;
}

int endProgram(int status) {
    // A name lookup an open gave up on may still wait for a name server. It may not run on while
    // the program's statics go: a little more time, then the process ends with it.
    if (!TcpSerialLine::endLookups(TcpSerialLine::kExitLookupLimit)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace quillon

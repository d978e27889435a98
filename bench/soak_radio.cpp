// SPDX-License-Identifier: GPL-3.0-or-later
// soak_radio: the virtual radio on a pseudo-terminal whose trouble starts while it serves, for
// bench/soak. quillon-radio-sim takes its fault only at start, and then the program never finds
// the radio; here the radio is found first and falls silent, or its adapter is pulled, later.
// Prints the device path, then reads commands a line at a time from standard input:
//   blocks   answers with the number of command blocks the program has sent so far
//   silent   the radio stops answering (the line stays)
//   unplug   the adapter is pulled: the pseudo-terminal's master closes, the device path stays
// and ends at end of input, SIGINT or SIGTERM.
#include "sim/ptyradioserver.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <string>

#include <poll.h>
#include <unistd.h>

using namespace quillon::sim;

namespace {
volatile std::sig_atomic_t g_quit = 0;
void onSignal(int) { g_quit = 1; }
} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    PtyRadioServer server;
    if (!server.start()) {
        std::fprintf(stderr, "soak_radio: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("%s\n", qPrintable(server.devicePath()));
    std::fflush(stdout);

    std::string partial;
    while (!g_quit) {
        // Short polls so a signal ends the loop promptly even when no input comes.
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            break;
        partial.append(buffer, static_cast<size_t>(n));
        for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            const std::string line = partial.substr(0, nl);
            partial.erase(0, nl + 1);
            if (line == "blocks") {
                std::printf("%zu\n", server.receivedBlocks().size());
            } else if (line == "silent") {
                server.withRadio([](VirtualRadio &r) { r.setFault(RadioFault::Silent); });
                std::printf("ok\n");
            } else if (line == "unplug") {
                server.unplug();
                std::printf("ok\n");
            } else {
                std::printf("error: unknown command \"%s\" (blocks, silent, unplug)\n", line.c_str());
            }
            std::fflush(stdout);
        }
    }
    server.stop();
    return 0;
}

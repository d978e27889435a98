// SPDX-License-Identifier: GPL-3.0-or-later
// How closely the reply wait keeps to its delay, and what it costs the CPU while it waits.
// Prints, for each delay in use: median and 99th-percentile overshoot past the deadline, and
// CPU time used per second of waiting.

#include "radio/replywait.h"
#include "sim/cputime.h"

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quillon;
using namespace std::chrono;

namespace {

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

} // namespace

int main() {
    constexpr int kWaits = 200;
    const milliseconds delays[] = {kProbeDelay, kMainStatusDelay, kSubStatusDelay};
    ReplyWait wait;

    std::printf("reply wait: %d waits per delay\n", kWaits);
    std::printf("%-8s %14s %14s %14s %16s\n", "delay", "median over", "p99 over", "max over",
                "CPU per s wait");
    for (const milliseconds delay : delays) {
        std::vector<double> overshootMs;
        overshootMs.reserve(kWaits);
        const double cpu0 = sim::processCpuSeconds();
        const auto wall0 = steady_clock::now();
        for (int i = 0; i < kWaits; ++i) {
            wait.MarkTime();
            wait.DoDelay(delay);
            const auto late = steady_clock::now() - (wait.StartTime() + delay);
            overshootMs.push_back(duration<double, std::milli>(late).count());
        }
        const double wall = duration<double>(steady_clock::now() - wall0).count();
        const double cpu = sim::processCpuSeconds() - cpu0;
        std::printf("%5lld ms %11.3f ms %11.3f ms %11.3f ms %15.3f%%\n",
                    static_cast<long long>(delay.count()), percentile(overshootMs, 0.5),
                    percentile(overshootMs, 0.99), *std::max_element(overshootMs.begin(), overshootMs.end()),
                    100.0 * cpu / wall);
    }
    return 0;
}

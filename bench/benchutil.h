// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the benchmarks share: a platform that shows nothing, and percentiles of their samples.
#include "ui/platform.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace quillon::bench {

class BenchPlatform final : public Platform {
public:
    void beep() override {}
    void showMessage(const QString &, const QString &, const QString &) override {}
    void showHelp(const QString &, int) override {}
    MonotonicClock &clock() override { return SystemClock::instance(); }
};

// Runs the event loop for `ms`, as the program's own loop runs. QTest::qWait sleeps 10 ms between
// its rounds of events, which would show in every latency measured through it.
inline void runEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace quillon::bench

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// CPU time (user + system) used so far, in seconds: what the fault tests bound and the
// benchmarks report when they ask whether a wait sleeps or spins.
#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#else
#include <ctime>
#endif

namespace quillon::sim {

#if defined(__unix__) || defined(__APPLE__)
inline double cpuSecondsOf(int who) {
    rusage ru{};
    getrusage(who, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double processCpuSeconds() { return cpuSecondsOf(RUSAGE_SELF); }
#else
inline double processCpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }
#endif

#if defined(__linux__)
// The calling thread only: the program's own thread, without the virtual radio's.
inline double threadCpuSeconds() { return cpuSecondsOf(RUSAGE_THREAD); }

// Every thread of this process with the given name (as /proc shows it: at most 15 characters),
// such as the radio line's owner.
double namedThreadsCpuSeconds(const char *name);
// The window's thread and the radio line's owner together: what polling costs the program.
inline double programCpuSeconds() { return threadCpuSeconds() + namedThreadsCpuSeconds("radio line"); }
#endif

} // namespace quillon::sim

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A main window wired to the in-process virtual radio, with a platform that records beeps,
// messages and help requests instead of showing them. Shared by the window tests.
#include "filters/lamps.h"
#include "radio/serialline.h"
#include "sim/manualclock.h"
#include "sim/simserialline.h"
#include "sim/virtualradio.h"
#include "ui/frmquillon.h"
#include "ui/lampbutton.h"
#include "ui/platform.h"

#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QTest>

#include <functional>
#include <memory>
#include <set>

namespace quillon::testing {

// The lit lamp: index 10 of the classic console palette, written out rather than asked of the window.
inline const QColor kLitGreen{0, 255, 0};

class TestPlatform final : public Platform {
public:
    void beep() override { ++beeps; }
    void showMessage(const QString &text, const QString &caption, const QString &detail) override {
        messages << text;
        captions << caption;
        details << detail;
        if (whileMessageShown)
            whileMessageShown();
    }
    void showHelp(const QString &helpFile, int helpCommand) override { help.append({helpFile, helpCommand}); }
    MonotonicClock &clock() override {
        return realClock ? static_cast<MonotonicClock &>(SystemClock::instance()) : manualClock;
    }

    sim::ManualClock manualClock;
    bool realClock = false; // for runs against a real device
    int beeps = 0;
    QStringList messages;
    QStringList captions;
    QStringList details;
    QList<QPair<QString, int>> help;
    std::function<void()> whileMessageShown;
};

// The filters whose buttons show the lamp green, read off the window's buttons.
using Lamps = std::set<FilterId>;

// The lamps the radio's filter bytes call for.
inline Lamps lampsFor(quint8 main, quint8 sub) {
    Lamps lamps;
    const MainLamps m = decodeMainFilterByte(main);
    for (const auto &id : {m.hi, m.lo, decodeSubFilterByte(sub).lit})
        if (id)
            lamps.insert(*id);
    return lamps;
}

inline Lamps litOn(const frmQuillon &window) {
    Lamps lit;
    for (const FilterButtonInfo &info : filterButtons())
        if (window.button(info.id)->palette().color(QPalette::Button) == kLitGreen)
            lit.insert(info.id);
    return lit;
}

// The window asks the line's owner for every exchange and paints the replies as they come back:
// true once all it asked for is done and painted. Events run meanwhile, as in the program.
inline bool settled(const frmQuillon &window, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return !window.isBusy(); }, timeoutMs);
}

// Members are destroyed in reverse order: the window (and the line it owns) before the radio.
struct Rig {
    explicit Rig(bool withRadio = true) {
        auto owned = std::make_unique<sim::SimSerialLine>(platform.manualClock);
        line = owned.get();
        if (withRadio)
            owned->attachRadio(1, &radio);
        window = std::make_unique<frmQuillon>(platform, std::move(owned));
    }

    bool settle() const { return settled(*window); }
    QColor face(FilterId id) const { return window->button(id)->palette().color(QPalette::Button); }
    bool lit(FilterId id) const { return face(id) == kLitGreen; }

    TestPlatform platform;
    sim::VirtualRadio radio;
    sim::SimSerialLine *line = nullptr;
    std::unique_ptr<frmQuillon> window;
};

} // namespace quillon::testing

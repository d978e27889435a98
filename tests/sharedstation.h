// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The virtual radio on a pseudo-terminal behind the real adapter and line owner, shared on free
// ports with a link in a scratch folder: the program's sharing as it runs, for the tests that
// talk to it over real sockets.

#include "radio/lineowner.h"
#include "radio/porttable.h"
#include "radio/posixserialline.h"
#include "share/radioshare.h"
#include "sim/ptyradioserver.h"

#include <QByteArrayView>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

namespace quillon::testing {

// The sharing log, as the user reads it: what quillon.share said while the handler was in.
inline QStringList g_shareLog;
inline QtMessageHandler g_previousHandler = nullptr;
inline void keepShareLog(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (context.category && QByteArrayView(context.category) == "quillon.share")
        g_shareLog << message;
    g_previousHandler(type, context, message);
}
inline void startKeepingShareLog() { g_previousHandler = qInstallMessageHandler(keepShareLog); }

struct SharedStation {
    sim::PtyRadioServer radio;
    std::unique_ptr<LineOwner> owner;
    std::unique_ptr<RadioShare> share;
    QTemporaryDir scratch;

    enum class Rigctld { No, Yes };
    bool start(bool withPty, Rigctld rigctld = Rigctld::No) {
        if (!radio.start())
            return false;
        owner = std::make_unique<LineOwner>(
            std::make_unique<PosixSerialLine>(PortTable(QStringList{radio.devicePath()})),
            SystemClock::instance());
        // Opened where the line is used, as the search does.
        std::atomic<int> opened{-1};
        owner->post(LineOwner::Priority::Operator, [&opened](LineOwner::Context &c) {
            opened = c.line.Configure(1) == LineError::None && c.line.OpenPort() == LineError::None;
        });
        if (!QTest::qWaitFor([&] { return opened >= 0; }, 5000) || opened != 1)
            return false;
        share = std::make_unique<RadioShare>(*owner);
        QString error;
        return share->start(0, withPty, scratch.filePath(QStringLiteral("ft1000mp")), &error) &&
               (rigctld == Rigctld::No || share->startRigctld(0, &error));
    }
};

} // namespace quillon::testing

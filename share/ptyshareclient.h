// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sharehub.h"

#include <QObject>

class QSocketNotifier;

namespace quillon {

// The radio on a pseudo-terminal, for programs that only take a device path (flrig). Whoever
// has the device open is the client. A link at a fixed path names it, since the device's own
// number changes from run to run.
class PtyShareClient final : public QObject, public ShareSource {
    Q_OBJECT
public:
    PtyShareClient() = default;
    ~PtyShareClient() override;

    // Opens the pseudo-terminal (raw, mode 0600) and points link at it. False with error set.
    bool open(const QString &link, QString *error);
    QString link() const { return m_link; }
    QString devicePath() const { return m_device; }

    QByteArray readInput(qsizetype most) override;
    void deliver(const QByteArray &bytes) override;
    bool isConnected() const override { return m_master >= 0; }
    QString name() const override { return QStringLiteral("pseudo-terminal %1").arg(m_device); }

signals:
    void inputArrived();

private:
    int m_master = -1;
    int m_keepOpen = -1; // our own hold on the device: no hang-up while no program has it open
    QSocketNotifier *m_notifier = nullptr;
    QString m_device;
    QString m_link;
};

} // namespace quillon

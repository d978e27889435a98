// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace quillon {

// The About box: modeless, owned by no window, at most one at a time.
class frmAbout final : public QWidget {
    Q_OBJECT
public:
    // Client area: 4185 x 2145 twips.
    static constexpr int kClientWidth = 279;
    static constexpr int kClientHeight = 143;

    // Creates the box if there is none and brings it to the front. The first time it is placed
    // over `placeOver` (which does not become its owner), or centred on the screen.
    static frmAbout *showAbout(QWidget *placeOver = nullptr);
    // The box on screen, if any.
    static frmAbout *instance();

    static QString versionLine();

public slots:
    void cmdOK_Click();

private:
    frmAbout();

    QPushButton *m_cmdOK = nullptr;
    static QPointer<frmAbout> s_instance;
};

} // namespace quillon

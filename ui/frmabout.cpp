// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmabout.h"

#include "appicon.h"
#include "panelwidgets.h"
#include "twips.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace quillon {

QPointer<frmAbout> frmAbout::s_instance;

QString frmAbout::versionLine() {
    return QStringLiteral("Quillon " QUILLON_VERSION " (" QUILLON_RELEASE_DATE ")");
}

frmAbout::frmAbout() : QWidget(nullptr, Qt::Window) {
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About Quillon"));
    setWindowIcon(quillonIcon());
    // Close only: no minimise, no maximise, no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(classicFont(ClassicFace::MsSansSerif));

    struct LabelDef {
        const char *name;
        QString text;
        QRect geometry;
    };
    const LabelDef labels[] = {
        {"Label1", versionLine(), twipRect(240, 120, 3855, 255)},
        // The credit does not fit one 233-pixel line after the title (314 pixels in this font),
        // so it opens the next line, which also carries the year.
        {"Label2", QStringLiteral("FT-1000MP and Mark V Filter Selector"), twipRect(240, 480, 3495, 255)},
        {"Label3", QStringLiteral("by the Quillon developers, 2026"), twipRect(240, 840, 3495, 255)},
        // The licence in words that fit the short line (95 of its 105 pixels); its SPDX name,
        // GPL-3.0-or-later, is in the package's copyright file and the AppStream data.
        {"Label4", QStringLiteral("GNU GPL 3 or later"), twipRect(240, 1200, 1575, 255)},
    };
    for (const LabelDef &def : labels) {
        auto *label = new QLabel(def.text, this);
        label->setObjectName(QString::fromLatin1(def.name));
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setFocusPolicy(Qt::NoFocus);
        label->setGeometry(def.geometry);
    }

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setFont(classicFont(ClassicFace::MsSansSerif, true));
    m_cmdOK->setGeometry(twipRect(1680, 1560, 855, 375));
    // Not a default button of a dialog, but as on the classic desktop Enter presses the
    // focused button; Escape has no meaning here since the box has no cancel button.
    m_cmdOK->setAutoDefault(true);
    m_cmdOK->setFocusPolicy(Qt::StrongFocus);
    m_cmdOK->setFocus();
    connect(m_cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
}

frmAbout *frmAbout::instance() { return s_instance.data(); }

frmAbout *frmAbout::showAbout(QWidget *placeOver) {
    if (!s_instance) {
        s_instance = new frmAbout;
        QRect area;
        if (placeOver && placeOver->isVisible())
            area = placeOver->frameGeometry();
        else if (const QScreen *s = QGuiApplication::primaryScreen())
            area = s->availableGeometry();
        if (area.isValid()) {
            QRect box(QPoint(), s_instance->size());
            box.moveCenter(area.center());
            s_instance->move(box.topLeft());
        }
    }
    frmAbout *box = s_instance.data();
    if (box->isMinimized())
        box->showNormal();
    box->show();
    box->raise();
    box->activateWindow();
    return box;
}

void frmAbout::cmdOK_Click() { close(); }

} // namespace quillon

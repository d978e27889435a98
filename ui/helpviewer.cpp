// SPDX-License-Identifier: GPL-3.0-or-later
#include "helpviewer.h"

#include "appicon.h"
#include "commondialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVBoxLayout>

namespace quillon {

QPointer<HelpViewer> HelpViewer::s_instance;

HelpBrowser::HelpBrowser(QWidget *parent) : QTextBrowser(parent) {
    setReadOnly(true);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    // Only jumps within the page are followed; a help file cannot make us open or run anything.
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) {
        if (url.scheme().isEmpty() && url.path().isEmpty() && url.hasFragment())
            scrollToAnchor(url.fragment());
    });
}

QVariant HelpBrowser::loadResource(int, const QUrl &) { return {}; }

HelpViewer::HelpViewer(QWidget *parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("helpViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Like a separate help program, an open viewer does not keep Quillon running.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("Quillon Help"));
    setWindowIcon(quillonIcon());
    m_browser = new HelpBrowser(this);
    m_browser->setObjectName(QStringLiteral("helpBrowser"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(560, 480);
}

QStringList HelpViewer::defaultSearchPath() {
    // The installed data folder is tried relative to the program first (a moved or unpacked
    // install), then where the build put it.
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList path{QDir::currentPath(), appDir,
                     QDir::cleanPath(appDir + QLatin1Char('/') + QStringLiteral(QUILLON_HELP_DIR_FROM_BIN)),
                     QStringLiteral(QUILLON_HELP_DIR)};
    path.removeDuplicates();
    return path;
}

QString HelpViewer::locate(const QString &helpFile, const QStringList &searchPath) {
    if (helpFile.isEmpty())
        return {};
    if (QFileInfo(helpFile).isAbsolute()) {
        const QFileInfo info(helpFile);
        return info.isFile() && info.isReadable() ? info.absoluteFilePath() : QString();
    }
    for (const QString &dir : searchPath) {
        if (dir.isEmpty())
            continue;
        const QFileInfo info(QDir(dir), helpFile);
        if (info.isFile() && info.isReadable())
            return info.absoluteFilePath();
    }
    return {};
}

HelpViewer *HelpViewer::instance() { return s_instance.data(); }

HelpViewer *HelpViewer::showHelp(const QString &helpFile, int helpCommand, const QStringList &searchPath) {
    if (!s_instance)
        s_instance = new HelpViewer;
    s_instance->load(helpFile, helpCommand, searchPath);
    s_instance->show();
    s_instance->raise();
    s_instance->activateWindow();
    return s_instance.data();
}

void HelpViewer::load(const QString &helpFile, int helpCommand, const QStringList &searchPath) {
    m_shownFile.clear();
    const QString path = locate(helpFile, searchPath);
    if (path.isEmpty()) {
        showMissing(helpFile, searchPath, tr("it is in none of these folders:"));
        return;
    }
    QFile file(path);
    if (file.size() > kMaxFileSize) {
        showMissing(helpFile, {path}, tr("the file found is too large to be a help file:"));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        showMissing(helpFile, {path}, tr("the file found cannot be read:"));
        return;
    }
    m_browser->setHtml(QString::fromUtf8(file.read(kMaxFileSize)));
    m_shownFile = path;
    // The file opens at its top, which is its contents topic; that is the only topic we are asked
    // for (kHelpContents), so other commands show the same.
    Q_UNUSED(helpCommand);
    static_assert(kHelpContents == 3);
    m_browser->moveCursor(QTextCursor::Start);
    m_browser->ensureCursorVisible();
}

void HelpViewer::showMissing(const QString &helpFile, const QStringList &searchPath, const QString &reason) {
    QString list;
    for (const QString &dir : searchPath)
        list += QStringLiteral("<li>%1</li>").arg(dir.toHtmlEscaped());
    m_browser->setHtml(tr("<h3>Help is not available</h3>"
                          "<p>The help viewer could not show the help file <b>%1</b>: %2</p><ul>%3</ul>"
                          "<p>Quillon goes on working as before; close this window to return to it.</p>")
                           .arg(helpFile.toHtmlEscaped(), reason.toHtmlEscaped(), list));
}

} // namespace quillon

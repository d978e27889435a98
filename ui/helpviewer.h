// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QStringList>
#include <QTextBrowser>
#include <QWidget>

namespace quillon {

// A read-only browser that shows only the text it is given: links inside the page scroll to
// their anchor, every other link and every external resource (images, style sheets) is refused.
class HelpBrowser final : public QTextBrowser {
    Q_OBJECT
public:
    explicit HelpBrowser(QWidget *parent = nullptr);
    QVariant loadResource(int type, const QUrl &name) override;
};

// The program's own help viewer: finds a help file by its bare name and shows it at its contents
// topic in a window of its own. One viewer window at a time; asking again reuses it.
class HelpViewer final : public QWidget {
    Q_OBJECT
public:
    // Largest help file the viewer will read.
    static constexpr qint64 kMaxFileSize = 1024 * 1024;

    // The current directory, then beside the executable, then the installed data directory.
    static QStringList defaultSearchPath();
    // The first readable file of that name in the search path, or an empty string.
    static QString locate(const QString &helpFile, const QStringList &searchPath);
    // Shows the help (or the viewer's own note that it is missing) without blocking the caller.
    static HelpViewer *showHelp(const QString &helpFile, int helpCommand, const QStringList &searchPath);
    // The open viewer, if any.
    static HelpViewer *instance();

    bool fileFound() const { return !m_shownFile.isEmpty(); }
    QString shownFile() const { return m_shownFile; }
    HelpBrowser *browser() const { return m_browser; }

private:
    explicit HelpViewer(QWidget *parent = nullptr);
    void load(const QString &helpFile, int helpCommand, const QStringList &searchPath);
    void showMissing(const QString &helpFile, const QStringList &searchPath, const QString &reason);

    HelpBrowser *m_browser = nullptr;
    QString m_shownFile;
    static QPointer<HelpViewer> s_instance;
};

} // namespace quillon

#include "window/page_screenshots.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>

#include "window/list_view.h"
#include "window/main_window.h"

namespace vistrel {

namespace {

struct Shot {
    int page;
    const char* file;
};

constexpr Shot kShots[] = {
    {TMainWindow::IntroPage, "intro.png"},     {TMainWindow::GamesPage, "games-list.png"},
    {TMainWindow::UsersPage, "user-list.png"}, {TMainWindow::LogPage, "server-log.png"},
    {TMainWindow::SetupPage, "setup.png"},
};

void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

// One of the window's parts, found by its object name (its field name).
template <typename T>
T* Part(TMainWindow& window, const char* name) {
    T* part = window.findChild<T*>(QString::fromLatin1(name));
    if (!part) std::fprintf(stderr, "vistrel-server: the window has no part named %s\n", name);
    return part;
}

}  // namespace

QStringList ScreenshotFileNames() {
    QStringList names;
    for (const Shot& shot : kShots) names << QString::fromLatin1(shot.file);
    return names;
}

bool WritePageScreenshots(TMainWindow& window, const QString& directory) {
    QDir dir(directory);
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "vistrel-server: cannot create %s\n", qPrintable(directory));
        return false;
    }
    auto* tree = Part<QTreeWidget>(window, "OptionTree");
    auto* games = Part<TListView>(window, "GamesListBox");
    auto* users = Part<TListView>(window, "UserListListbox");
    if (!tree || !games || !users) return false;
    window.ShowFromTray();
    // Wide enough for every column of the games list (its stored widths and
    // the tree beside it), on the pictures' 1024-pixel screen.
    window.resize(std::max(window.width(), 1000), window.height());
    // A selected row shows what the commands act on.
    games->SelectRows({0});
    users->SelectRows({1});

    bool ok = true;
    for (const Shot& shot : kShots) {
        tree->setCurrentItem(window.NodeOfPage(shot.page));
        Settle();
        const QString path = dir.filePath(QString::fromLatin1(shot.file));
        if (!window.grab().save(path, "PNG")) {
            std::fprintf(stderr, "vistrel-server: cannot write %s\n", qPrintable(path));
            ok = false;
        }
    }
    tree->setCurrentItem(window.NodeOfPage(TMainWindow::IntroPage));
    QFile done(dir.filePath(QStringLiteral("done")));
    if (done.open(QIODevice::WriteOnly)) done.write(ok ? "ok\n" : "failed\n");
    return ok;
}

}  // namespace vistrel

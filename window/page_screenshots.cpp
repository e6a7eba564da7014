#include "window/page_screenshots.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTreeWidget>

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
    window.ShowFromTray();
    // A selected row shows what the commands act on.
    window.GamesListBox->SelectRows({0});
    window.UserListListbox->SelectRows({1});

    bool ok = true;
    for (const Shot& shot : kShots) {
        window.OptionTree->setCurrentItem(window.NodeOfPage(shot.page));
        Settle();
        const QString path = dir.filePath(QString::fromLatin1(shot.file));
        if (!window.grab().save(path, "PNG")) {
            std::fprintf(stderr, "vistrel-server: cannot write %s\n", qPrintable(path));
            ok = false;
        }
    }
    window.OptionTree->setCurrentItem(window.NodeOfPage(TMainWindow::IntroPage));
    QFile done(dir.filePath(QStringLiteral("done")));
    if (done.open(QIODevice::WriteOnly)) done.write(ok ? "ok\n" : "failed\n");
    return ok;
}

}  // namespace vistrel

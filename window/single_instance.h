// TSingleInstance: only one copy of the program runs per user. The first copy
// holds an exclusive lock on "<dir>/<program>.lock" (released by the kernel
// when the process ends, however it ends) and listens on the local socket
// "<dir>/<program>.socket". A later copy finds the lock taken, asks the
// running copy through the socket to show its window, and ends.
//
// <dir> is the user's runtime folder: $XDG_RUNTIME_DIR, or else a folder of
// the user's own, "<temporary folder>/vistrel-<uid>", made with mode 0700 and
// used only while it is a real folder (not a link) owned by the user. The
// lock file is opened without following a link and has mode 0600.
// <program> is the program file's name without its directory. Owned by the
// program's main() for the whole run.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace vistrel {

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    TSingleInstance(QString directory, QString programName, QObject* parent = nullptr);
    ~TSingleInstance() override;

    // $XDG_RUNTIME_DIR when it names a folder owned by the user, else
    // PrivateDirectory(the temporary folder); empty when neither will do.
    static QString DefaultDirectory();
    // "<base>/vistrel-<uid>": made with mode 0700 if missing, narrowed to 0700
    // if wider. Empty (and left alone) when it is a link, not a folder, or
    // owned by someone else.
    static QString PrivateDirectory(const QString& base);

    // Takes the lock. True: this is the only copy, and it now listens for
    // later copies. False: another copy holds the lock. Where no lock can be
    // kept (no directory; the lock path is a link or not the user's own
    // regular file), this copy runs unguarded: true, with a warning.
    bool TryBecomeFirst();
    // From a later copy: asks the first one to show itself. Waits at most
    // timeoutMs for the message to be delivered; false if it was not.
    bool AskFirstToShow(int timeoutMs = 2000);

    QString LockPath() const;
    QString SocketPath() const;

signals:
    // A later copy asked this one to show its window.
    void ShowRequested();

private:
    void OnNewConnection();

    QString directory_;
    QString program_;
    int lock_fd_ = -1;
    QLocalServer server_;
};

}  // namespace vistrel

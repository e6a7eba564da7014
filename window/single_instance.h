// TSingleInstance: only one copy of the program runs per user. The first copy
// holds an exclusive lock on "<dir>/<program>.lock" (released by the kernel
// when the process ends, however it ends) and listens on the local socket
// "<dir>/<program>.socket". A later copy finds the lock taken, asks the
// running copy through the socket to show its window, and ends.
//
// <dir> is $XDG_RUNTIME_DIR, or the temporary folder when that is not set;
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

    // $XDG_RUNTIME_DIR, else the temporary folder.
    static QString DefaultDirectory();

    // Takes the lock. True: this is the only copy, and it now listens for
    // later copies. False: another copy holds the lock.
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

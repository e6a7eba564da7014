#include "window/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QtGlobal>

#include <utility>

namespace vistrel {

namespace {

constexpr char kShowRequest[] = "show\n";

}  // namespace

TSingleInstance::TSingleInstance(QString directory, QString programName, QObject* parent)
    : QObject(parent), directory_(std::move(directory)), program_(std::move(programName)) {
    connect(&server_, &QLocalServer::newConnection, this, &TSingleInstance::OnNewConnection);
}

TSingleInstance::~TSingleInstance() {
    if (server_.isListening()) server_.close();
    if (lock_fd_ >= 0) {
        // Remove the socket file while the lock still guards it, so a later
        // copy never finds a stale one.
        QFile::remove(SocketPath());
        ::close(lock_fd_);
    }
}

QString TSingleInstance::DefaultDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        struct stat info {};
        if (::stat(QFile::encodeName(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
            info.st_uid == ::geteuid())
            return runtime;
    }
    return PrivateDirectory(QDir::tempPath());
}

QString TSingleInstance::PrivateDirectory(const QString& base) {
    const QString directory = QDir(base).filePath(QStringLiteral("vistrel-%1").arg(::geteuid()));
    const QByteArray path = QFile::encodeName(directory);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return {};
    // Not followed: a link planted here (the temporary folder is everyone's)
    // could lead anywhere.
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return {};
    if ((info.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0) return {};
    return directory;
}

QString TSingleInstance::LockPath() const { return QDir(directory_).filePath(program_ + QStringLiteral(".lock")); }

QString TSingleInstance::SocketPath() const {
    return QDir(directory_).filePath(program_ + QStringLiteral(".socket"));
}

bool TSingleInstance::TryBecomeFirst() {
    if (lock_fd_ >= 0) return true;
    if (directory_.isEmpty()) {
        // Nowhere to keep a lock: run, rather than refuse to start at all.
        qWarning("vistrel-server: no private runtime folder; not guarding against a second copy");
        return true;
    }
    const QByteArray path = QFile::encodeName(LockPath());
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
                    ((info.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        qWarning("vistrel-server: cannot use %s as a lock; not guarding against a second copy", path.constData());
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lock_fd_ = fd;
    // A socket file left by a copy that crashed would block listening; the
    // lock says no live copy uses it.
    QLocalServer::removeServer(SocketPath());
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(SocketPath()))
        qWarning("vistrel-server: cannot listen on %s: %s", qPrintable(SocketPath()),
                 qPrintable(server_.errorString()));
    return true;
}

bool TSingleInstance::AskFirstToShow(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
    return true;
}

void TSingleInstance::OnNewConnection() {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        // One short line is read; a peer that sends more than that without
        // a line end is cut off.
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
            if (!peer->canReadLine() && peer->bytesAvailable() < 64) return;
            const QByteArray request = peer->readLine(64);
            if (request.trimmed() == "show") emit ShowRequested();
            peer->disconnectFromServer();
        });
    }
}

}  // namespace vistrel

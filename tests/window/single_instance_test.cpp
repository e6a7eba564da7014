// The single-instance guard's files: the lock lives in the user's runtime
// folder ($XDG_RUNTIME_DIR, else a 0700 folder of the user's own in the
// temporary folder), has mode 0600, and is never opened through a link.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "window/single_instance.h"

namespace vistrel {
namespace {

QByteArray Path(const QString& path) { return QFile::encodeName(path); }

// Permission bits, or -1 if the path cannot be read (a link is not followed).
int ModeOf(const QString& path) {
    struct stat info {};
    if (::lstat(Path(path).constData(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

bool IsLink(const QString& path) {
    struct stat info {};
    return ::lstat(Path(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteFile(const QString& path, const QByteArray& data, int mode) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();
    QCOMPARE(::chmod(Path(path).constData(), static_cast<mode_t>(mode)), 0);
}

QString OwnName(const QString& base) { return QDir(base).filePath(QStringLiteral("vistrel-%1").arg(::geteuid())); }

}  // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void runtimeFolderComesFromTheEnvironmentElseAPrivateOne() {
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray savedTemp = qgetenv("TMPDIR");
        QTemporaryDir runtime;
        QTemporaryDir temp;
        qputenv("XDG_RUNTIME_DIR", Path(runtime.path()));
        qputenv("TMPDIR", Path(temp.path()));
        const QString fromEnvironment = TSingleInstance::DefaultDirectory();
        // A runtime folder that does not exist is passed over.
        qputenv("XDG_RUNTIME_DIR", Path(runtime.filePath(QStringLiteral("missing"))));
        const QString missing = TSingleInstance::DefaultDirectory();
        qunsetenv("XDG_RUNTIME_DIR");
        const QString unset = TSingleInstance::DefaultDirectory();
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        if (savedTemp.isNull()) qunsetenv("TMPDIR"); else qputenv("TMPDIR", savedTemp);

        QCOMPARE(fromEnvironment, runtime.path());
        QCOMPARE(missing, OwnName(temp.path()));
        QCOMPARE(unset, OwnName(temp.path()));
        QCOMPARE(ModeOf(unset), 0700);
        TSingleInstance instance(unset, QStringLiteral("vistrel-server"));
        QCOMPARE(instance.LockPath(), OwnName(temp.path()) + QStringLiteral("/vistrel-server.lock"));
    }

    void privateFolderIsMadeNarrowedAndRefusedWhenNotTheUsersOwn() {
        // Made with 0700, whatever the umask.
        QTemporaryDir base;
        const mode_t savedMask = ::umask(0);
        const QString made = TSingleInstance::PrivateDirectory(base.path());
        ::umask(savedMask);
        QCOMPARE(made, OwnName(base.path()));
        QCOMPARE(ModeOf(made), 0700);

        // Found wider: narrowed.
        QCOMPARE(::chmod(Path(made).constData(), 0755), 0);
        QCOMPARE(TSingleInstance::PrivateDirectory(base.path()), made);
        QCOMPARE(ModeOf(made), 0700);

        // A link in its place (anyone may plant one in the temporary folder)
        // is refused, and what it points at is left alone.
        QTemporaryDir linked;
        QTemporaryDir elsewhere;
        QCOMPARE(::chmod(Path(elsewhere.path()).constData(), 0755), 0);
        QCOMPARE(::symlink(Path(elsewhere.path()).constData(), Path(OwnName(linked.path())).constData()), 0);
        QCOMPARE(TSingleInstance::PrivateDirectory(linked.path()), QString());
        QCOMPARE(ModeOf(elsewhere.path()), 0755);
        QVERIFY(IsLink(OwnName(linked.path())));

        // So is a file in its place.
        QTemporaryDir filed;
        WriteFile(OwnName(filed.path()), "not a folder", 0600);
        QCOMPARE(TSingleInstance::PrivateDirectory(filed.path()), QString());

        // And a folder of someone else's (only root can make one to try).
        if (::geteuid() == 0) {
            QTemporaryDir foreign;
            const QString theirs = OwnName(foreign.path());
            QVERIFY(QDir().mkdir(theirs));
            QCOMPARE(::chown(Path(theirs).constData(), 12345, 12345), 0);
            QCOMPARE(::chmod(Path(theirs).constData(), 0777), 0);
            QCOMPARE(TSingleInstance::PrivateDirectory(foreign.path()), QString());
            QCOMPARE(ModeOf(theirs), 0777);
        }
    }

    void lockFileHasMode0600() {
        QTemporaryDir dir;
        {
            const mode_t savedMask = ::umask(0);
            TSingleInstance first(dir.path(), QStringLiteral("prog"));
            const bool firstTook = first.TryBecomeFirst();
            ::umask(savedMask);
            QVERIFY(firstTook);
            QCOMPARE(ModeOf(first.LockPath()), 0600);
            TSingleInstance second(dir.path(), QStringLiteral("prog"));
            QVERIFY(!second.TryBecomeFirst());
        }
        // A lock file left wider by someone is narrowed when it is taken.
        QTemporaryDir wide;
        TSingleInstance instance(wide.path(), QStringLiteral("prog"));
        WriteFile(instance.LockPath(), {}, 0666);
        QVERIFY(instance.TryBecomeFirst());
        QCOMPARE(ModeOf(instance.LockPath()), 0600);
    }

    void aLinkPlantedAsTheLockIsNeverFollowed() {
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        const QString missing = elsewhere.filePath(QStringLiteral("missing"));
        WriteFile(victim, "keep me", 0644);

        TSingleInstance instance(dir.path(), QStringLiteral("prog"));
        QCOMPARE(::symlink(Path(victim).constData(), Path(instance.LockPath()).constData()), 0);
        // The copy runs unguarded rather than lock (or create, or narrow)
        // whatever the link points at.
        QVERIFY(instance.TryBecomeFirst());
        QCOMPARE(Contents(victim), QByteArray("keep me"));
        QCOMPARE(ModeOf(victim), 0644);
        const int fd = ::open(Path(victim).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);  // nobody holds it
        ::close(fd);
        QVERIFY(!QFile::exists(instance.SocketPath()));

        // A dangling link: the file it names is never made.
        TSingleInstance other(dir.path(), QStringLiteral("other"));
        QCOMPARE(::symlink(Path(missing).constData(), Path(other.LockPath()).constData()), 0);
        QVERIFY(other.TryBecomeFirst());
        QVERIFY(!QFile::exists(missing));
        QVERIFY(IsLink(other.LockPath()));
    }

    void withoutAFolderTheCopyRunsUnguarded() {
        TSingleInstance instance(QString(), QStringLiteral("prog"));
        QVERIFY(instance.TryBecomeFirst());
        QVERIFY(!QFile::exists(QStringLiteral("prog.lock")));
    }
};

}  // namespace vistrel

QTEST_GUILESS_MAIN(vistrel::TestSingleInstance)
#include "single_instance_test.moc"

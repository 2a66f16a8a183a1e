#pragma once
// The Node scripts of a folder of tests/ (browser by default), copied into a folder of the build
// with their manifest and lockfile, and their packages installed there when either changed or a
// package is missing: with npm ci where a lockfile is kept, else npm install of the manifest's
// pinned versions.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>
#include "tests/support/BuildPaths.h"

// Empty on success, else what went wrong.
inline QString prepareNodeDriver(const QString& dir, const QString& scripts = QStringLiteral("browser"))
{
    const QString src = QString::fromStdString(sourceDir() + "/tests/") + scripts + QLatin1Char('/');
    const bool locked = QFile::exists(src + QStringLiteral("package-lock.json"));
    QDir().mkpath(dir);
    // ctest runs the browser and API tests side by side: one npm ci at a time in the folder, the
    // others wait for it and then find the packages there.
    struct Lock {
        int fd;
        ~Lock()
        {
            if (fd >= 0)
                ::close(fd);   // drops the lock
        }
    } lock{::open(QFile::encodeName(dir + QStringLiteral("/.prepare.lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX) != 0)
        return QStringLiteral("cannot lock %1/.prepare.lock").arg(dir);
    bool lockChanged = false;
    QStringList files{QStringLiteral("package.json")};
    if (locked)
        files << QStringLiteral("package-lock.json");
    files << QDir(src).entryList({QStringLiteral("*.mjs")}, QDir::Files);
    for (const QString& name : std::as_const(files)) {
        const QString from = src + name, to = dir + QLatin1Char('/') + name;
        QFile a(from), b(to);
        a.open(QIODevice::ReadOnly);
        const QByteArray want = a.readAll();
        const bool same = b.open(QIODevice::ReadOnly) && b.readAll() == want;
        b.close();
        if (!same) {
            QFile::remove(to);
            if (!QFile::copy(from, to))
                return QStringLiteral("cannot copy %1").arg(from);
            lockChanged = lockChanged || !name.endsWith(QLatin1String(".mjs"));
        }
    }
    QFile manifest(dir + QStringLiteral("/package.json"));
    manifest.open(QIODevice::ReadOnly);
    const QJsonObject wanted = QJsonDocument::fromJson(manifest.readAll()).object().value(QStringLiteral("dependencies")).toObject();
    bool installed = true;
    for (const QString& name : wanted.keys())
        installed = installed && QFile::exists(dir + QStringLiteral("/node_modules/") + name + QStringLiteral("/package.json"));
    if (!lockChanged && installed)
        return {};
    QProcess npm;
    npm.setWorkingDirectory(dir);
    npm.setProcessChannelMode(QProcess::MergedChannels);
    // No package's install script is run: none of them needs one, and one of the validator's
    // dependencies would report home.
    const QString how = locked ? QStringLiteral("ci") : QStringLiteral("install");
    QStringList args{how, QStringLiteral("--no-audit"), QStringLiteral("--no-fund"), QStringLiteral("--ignore-scripts")};
    if (!locked)
        args << QStringLiteral("--no-package-lock");
    npm.start(QStringLiteral("npm"), args);
    if (!npm.waitForFinished(300000) || npm.exitCode() != 0)
        return QStringLiteral("npm %1 failed: ").arg(how) + QString::fromUtf8(npm.readAll());
    return {};
}

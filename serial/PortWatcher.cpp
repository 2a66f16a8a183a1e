#include "serial/PortWatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;

// In /dev only serial nodes and udev's serial folder matter; terminals and disks come and go too.
bool concernsPorts(const char* name)
{
    return std::strncmp(name, "tty", 3) == 0 || std::strcmp(name, "serial") == 0 ||
           std::strncmp(name, "rfcomm", 6) == 0;
}

} // namespace

PortWatcher::PortWatcher(QStringList folders, QObject* parent, int settleMs)
    : QObject(parent), folders_(std::move(folders))
{
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(settleMs);
    connect(settle_, &QTimer::timeout, this, [this] {
        arm();   // a folder may have been made or removed meanwhile
        emit portsChanged();
    });
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        qWarning("port watcher: inotify: %s", std::strerror(errno));
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readEvents(); });
    arm();
}

PortWatcher::~PortWatcher()
{
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
}

void PortWatcher::arm()
{
    if (fd_ < 0)
        return;
    // Adding a watch already held is harmless (the kernel returns the same one), so the whole
    // set is simply asked for again.
    for (const QString& folder : folders_) {
        QString path = QDir::cleanPath(folder);
        while (!path.isEmpty()) {
            const int wd = inotify_add_watch(fd_, QFile::encodeName(path).constData(), FolderEvents);
            if (wd >= 0) {
                if (path == QStringLiteral("/dev"))
                    devWatch_ = wd;
                break;
            }
            if (path == QStringLiteral("/"))
                break;
            path = QFileInfo(path).path();
        }
    }
}

void PortWatcher::readEvents()
{
    alignas(inotify_event) char buffer[4096];
    bool relevant = false;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            // /dev is busy with terminals and disks: its events are sifted by name.
            if (event->wd != devWatch_ || event->len == 0 || concernsPorts(event->name))
                relevant = true;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (relevant && !settle_->isActive())
        settle_->start();
}

bool PortWatcher::isPresent(const QString& portName) const
{
    if (!portName.contains(QStringLiteral("://"))) {
        const QString path = portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
    }
    for (const PresenceCheck& check : checks_)
        if (const std::optional<bool> known = check(portName))
            return *known;
    return false;
}

void PortWatcher::addPresenceCheck(PresenceCheck check)
{
    checks_.push_back(std::move(check));
}

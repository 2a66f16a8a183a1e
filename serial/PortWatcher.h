#pragma once
// Tells when serial ports may have come or gone, without polling: inotify watches /dev (tty
// nodes appearing, vanishing, changing owner when udev has set them up), udev's by-id folder
// and the virtual-port folder. A folder that does not exist yet is watched for through its
// nearest existing parent. Events are gathered for a short while and reported as one
// portsChanged(), so a device that comes and goes every 100 ms costs a few rescans a second.
//
// isPresent() answers "is this port there now" for the reconnect wait. A device path is there
// when a character device is; other names (network ports) go to the checks added with
// addPresenceCheck, and are absent when none of them knows the name.
#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

class PortWatcher : public QObject {
    Q_OBJECT
public:
    explicit PortWatcher(QStringList folders, QObject* parent = nullptr, int settleMs = 150);
    ~PortWatcher() override;

    bool isPresent(const QString& portName) const;
    // A check for names that are not device paths: nullopt when it does not know the name.
    using PresenceCheck = std::function<std::optional<bool>(const QString& portName)>;
    void addPresenceCheck(PresenceCheck check);
    // False when the kernel refused the watch (no inotify): the wait then ends only by hand.
    bool watching() const { return fd_ >= 0; }

signals:
    void portsChanged();

private:
    void arm();
    void readEvents();

    QStringList folders_;
    std::vector<PresenceCheck> checks_;
    int fd_ = -1;
    int devWatch_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* settle_ = nullptr;
};

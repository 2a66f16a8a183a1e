#include "app/PortErrors.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "base/ErrnoText.h"
#include "base/PrivateFolder.h"
#include "serial/ComPort.h"

std::string portDevicePath(const std::string& port)
{
    return !port.empty() && port[0] == '/' ? port : "/dev/" + port;
}

QString deviceGroup(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 1024);
    group entry{};
    group* found = nullptr;
    int e;
    while ((e = getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (e == 0 && found && found->gr_name && *found->gr_name)
        return QString::fromLocal8Bit(found->gr_name);
    return QString::number(st.st_gid);
}

QString portErrorMessage(const EComPort& error, const std::string& port)
{
    QString message = QString::fromUtf8(error.what());
    if (error.PortErrorCode == peOpen && (error.OsErrorCode == EBUSY || error.OsErrorCode == EAGAIN))
        return message + QStringLiteral("\nPort jest zajęty: używa go inny program.");
    if (error.PortErrorCode != peOpen || error.OsErrorCode != EACCES)
        return message;
    const std::string path = portDevicePath(port);
    // Name the device itself: a virtual port is a link, and the group is the target's.
    std::string device = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        device = real;
        std::free(real);
    }
    const QString group = deviceGroup(device);
    const QString where = QString::fromLocal8Bit(device.c_str());
    if (group.isEmpty())
        return message + QStringLiteral("\nBrak uprawnień: użytkownik musi należeć do grupy, do której należy urządzenie %1.").arg(where);
    return message + QStringLiteral("\nBrak uprawnień: użytkownik musi należeć do grupy „%1”, do której należy urządzenie %2.")
                         .arg(group, where);
}

QString virtualFolderRefusal(const FolderCheck& check)
{
    const QString path = QString::fromStdString(check.path);
    QString why;
    switch (check.fault) {
    case FolderFault::Symlink: why = QStringLiteral("%1 jest dowiązaniem symbolicznym").arg(path); break;
    case FolderFault::NotFolder: why = QStringLiteral("%1 nie jest folderem").arg(path); break;
    case FolderFault::OtherOwner:
        why = QStringLiteral("folder %1 należy do innego użytkownika (uid %2)").arg(path).arg(check.uid);
        break;
    case FolderFault::OpenToOthers: why = QStringLiteral("inni użytkownicy mogą pisać w folderze %1").arg(path); break;
    default:
        why = QStringLiteral("nie można otworzyć folderu %1: %2").arg(path, QString::fromStdString(ErrnoText(check.error)));
        break;
    }
    return QStringLiteral("Porty wirtualne pominięte: %1. Ktoś inny mógłby tam widzieć i odbierać ramki; "
                          "usuń go lub ustaw XDG_RUNTIME_DIR.").arg(why);
}

#include "files/Profile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "files/FileRoom.h"
#include "base/ErrnoText.h"

bool ValidProfileName(const QString& name)
{
    if (name.isEmpty() || name.size() > 64 || name.startsWith(QLatin1Char('.')))
        return false;
    for (QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-'
                        || u == '_' || u == '.';
        if (!ok)
            return false;
    }
    return true;
}

// Qt takes its options with one dash or two; those it knows pass here.
static bool toolkitOption(const QString& a)
{
    static const QStringList known = {
        QStringLiteral("--platform"), QStringLiteral("--platformpluginpath"), QStringLiteral("--platformtheme"),
        QStringLiteral("--plugin"), QStringLiteral("--qwindowgeometry"), QStringLiteral("--qwindowicon"),
        QStringLiteral("--qwindowtitle"), QStringLiteral("--reverse"), QStringLiteral("--session"),
        QStringLiteral("--style"), QStringLiteral("--stylesheet"), QStringLiteral("--widgetcount"),
        QStringLiteral("--display"), QStringLiteral("--geometry"), QStringLiteral("--name"),
        QStringLiteral("--title"), QStringLiteral("--visual"), QStringLiteral("--nograb"), QStringLiteral("--dograb"),
        QStringLiteral("--sync"), QStringLiteral("--qmljsdebugger")};
    return known.contains(a.section(QLatin1Char('='), 0, 0));
}

ProfileChoice ParseProfileArguments(const QStringList& arguments)
{
    ProfileChoice choice;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        QString value;
        if (a == QLatin1String("--profile")) {
            if (i + 1 >= arguments.size()) {
                choice.error = QStringLiteral("Po --profile brakuje nazwy profilu.");
                return choice;
            }
            value = arguments[++i];
        } else if (a.startsWith(QLatin1String("--profile="))) {
            value = a.mid(10);
        } else if (a == QLatin1String("--headless")) {
            if (choice.headless) {
                choice.error = QStringLiteral("Opcja --headless podana dwa razy.");
                return choice;
            }
            choice.headless = true;
            continue;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            choice.help = true;
            continue;
        } else if (a.startsWith(QLatin1String("--")) && !toolkitOption(a)) {
            choice.error = QStringLiteral("Nieznana opcja „%1” (kadrel --help wymienia opcje).").arg(a);
            return choice;
        } else {
            continue;  // the toolkit's own options (-platform …) pass
        }
        if (!ValidProfileName(value)) {
            choice.error = QStringLiteral("Nieprawidłowa nazwa profilu „%1”: dozwolone są litery, cyfry, "
                                          "„-”, „_” i „.” (do 64 znaków).")
                               .arg(value);
            return choice;
        }
        choice.name = value;
    }
    return choice;
}

bool LockProfile(const QString& folder, const QString& name, QString& message, bool* heldElsewhere)
{
    if (heldElsewhere)
        *heldElsewhere = false;
    if (!FileRoom::makeFolder(QFile::encodeName(folder).toStdString()).ok()) {
        message = QStringLiteral("Nie można utworzyć folderu profilu „%1”: %2.").arg(name, folder);
        return false;
    }
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/.lock"));
    // Kept open for the life of the process; the kernel drops the lock when it ends, however it ends.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        message = QStringLiteral("Nie można otworzyć blokady profilu „%1”: %2.")
                      .arg(name, QString::fromStdString(ErrnoText(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (heldElsewhere)
            *heldElsewhere = e == EWOULDBLOCK;
        message = e == EWOULDBLOCK
                      ? QStringLiteral("Profil „%1” jest już otwarty w innym oknie programu Kadrel.\n"
                                       "Jeden profil może działać tylko raz; dla drugiej magistrali "
                                       "uruchom program z innym profilem (kadrel --profile NAZWA).")
                            .arg(name)
                      : QStringLiteral("Nie można zablokować profilu „%1”: %2.")
                            .arg(name, QString::fromStdString(ErrnoText(e)));
        return false;
    }
    return true;
}

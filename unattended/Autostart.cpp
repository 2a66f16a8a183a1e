#include "unattended/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace autostart {

namespace {

QString autostartFolder()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart");
}

// The Exec key's quoting (freedesktop desktop entries): reserved characters need quotes, and
// inside them \ " ` $ are escaped; the key's own escaping doubles every backslash.
QString execArgument(const QString& arg)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = arg.isEmpty();
    for (const QChar c : arg)
        quote = quote || reserved.contains(c);
    if (!quote)
        return QString(arg).replace(QLatin1Char('%'), QStringLiteral("%%"));
    QString out = QStringLiteral("\"");
    for (const QChar c : arg) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\\\");
        else if (c == QLatin1Char('%'))
            out += QLatin1Char('%');
        out += c;
    }
    return out + QLatin1Char('"');
}

} // namespace

QString entryPath(const QString& profile)
{
    return autostartFolder() + (profile.isEmpty() ? QStringLiteral("/kadrel.desktop")
                                                  : QStringLiteral("/kadrel-%1.desktop").arg(profile));
}

QString entryText(const QString& program, const QString& profile)
{
    QString exec = execArgument(program);
    if (!profile.isEmpty())
        exec += QStringLiteral(" --profile ") + execArgument(profile);
    QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Kadrel");
    if (!profile.isEmpty())
        text += QStringLiteral(" (profil %1)").arg(profile);
    text += QStringLiteral("\nComment=Sterowanie zegarami – uruchamiane po zalogowaniu\n"
                           "Exec=%1\nIcon=kadrel\nTerminal=false\nX-GNOME-Autostart-enabled=true\n").arg(exec);
    return text;
}

bool enabled(const QString& profile)
{
    const QFileInfo info(entryPath(profile));
    return info.exists() && info.isFile();
}

QString setEnabled(const QString& profile, const QString& program, bool on)
{
    const QString path = entryPath(profile);
    if (!on) {
        if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
            return {};
        QFile file(path);
        if (!file.remove())
            return QStringLiteral("Nie można usunąć pliku „%1”: %2").arg(path, file.errorString());
        return {};
    }
    if (!QDir().mkpath(autostartFolder()))
        return QStringLiteral("Nie można utworzyć folderu „%1”.").arg(autostartFolder());
    const QFileInfo existing(path);
    if (existing.exists() && !existing.isFile())
        return QStringLiteral("„%1” nie jest zwykłym plikiem.").arg(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Nie można zapisać pliku „%1”: %2").arg(path, file.errorString());
    file.write(entryText(program, profile).toUtf8());
    if (!file.commit())
        return QStringLiteral("Nie można zapisać pliku „%1”: %2").arg(path, file.errorString());
    return {};
}

} // namespace autostart

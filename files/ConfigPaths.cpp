#include "files/ConfigPaths.h"

#include <QDir>
#include <unistd.h>

namespace {

// An XDG base folder from the environment; unset, empty or relative values do not count.
QString xdgFolder(const char* variable)
{
    const QString value = qEnvironmentVariable(variable);
    if (value.isEmpty() || !QDir::isAbsolutePath(value))
        return {};
    return value;
}

} // namespace

ConfigRoots& configRoots()
{
    static ConfigRoots roots;
    return roots;
}

void resetConfigRoots()
{
    configRoots() = ConfigRoots();
}

QString configFolder()
{
    QString base = xdgFolder("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    const QString folder = base + QStringLiteral("/kadrel");
    return configRoots().profile.isEmpty() ? folder : folder + QLatin1Char('/') + configRoots().profile;
}

QString networkPortsPath()
{
    return configFolder() + QStringLiteral("/network-ports");
}

QString settingsFilePath()
{
    if (!configRoots().settingsPath.isEmpty())
        return configRoots().settingsPath;
    return configFolder() + QStringLiteral("/z.cf");
}

QString virtualPortFolder()
{
    if (!configRoots().virtualPortDir.isEmpty())
        return configRoots().virtualPortDir;
    const QString runtime = xdgFolder("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/kadrel/ports");
    return QStringLiteral("/tmp/kadrel-%1/ports").arg(getuid());
}

QString portIdentityPath()
{
    return configFolder() + QStringLiteral("/port-id");
}

QString portOptionsPath()
{
    return configFolder() + QStringLiteral("/port-options");
}

#pragma once
// Where the program's files are: the configuration folder and the files in it, the virtual
// ports' folder, and the system folders the port list reads. Tests point the roots elsewhere.
#include <QString>

struct ConfigRoots {
    QString settingsPath;     // empty: $XDG_CONFIG_HOME/kadrel/z.cf (default ~/.config)
    QString virtualPortDir;   // empty: $XDG_RUNTIME_DIR/kadrel/ports or /tmp/kadrel-<uid>/ports
    // The profile chosen with --profile; empty: the default configuration folder.
    QString profile;
    QString sysfsRoot = QStringLiteral("/sys");
    QString devDir = QStringLiteral("/dev");                 // watched for serial nodes
    QString byIdDir = QStringLiteral("/dev/serial/by-id");   // udev's stable port names
};

ConfigRoots& configRoots();
void resetConfigRoots();   // back to the defaults

// $XDG_CONFIG_HOME/kadrel (default ~/.config/kadrel): the settings file and the files kept beside it.
// With a profile: its own folder inside, $XDG_CONFIG_HOME/kadrel/NAME.
QString configFolder();
// The network ports the operator added (serial/NetworkPorts.h), in configFolder().
QString networkPortsPath();
QString settingsFilePath();
QString virtualPortFolder();
// The chosen port's stable identity, beside the settings file.
QString portIdentityPath();
// The serial line's own switches (serial/PortOptions.h), beside the settings file.
QString portOptionsPath();

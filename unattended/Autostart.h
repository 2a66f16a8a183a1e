#pragma once
// Start at login: an XDG autostart entry ($XDG_CONFIG_HOME/autostart) that starts this program
// again, with its profile, when the desktop session begins. One entry per profile, so two
// buses on one PC come back as two windows.
#include <QString>

namespace autostart {

// kadrel.desktop, or kadrel-PROFILE.desktop.
QString entryPath(const QString& profile);
// The entry's text for this program file and profile.
QString entryText(const QString& program, const QString& profile);
bool enabled(const QString& profile);
// Writes or removes the entry. Empty on success, else why not (Polish, with the file's name).
QString setEnabled(const QString& profile, const QString& program, bool on);

} // namespace autostart

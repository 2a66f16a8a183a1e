#pragma once
// Several buses from one PC: `kadrel --profile NAME` keeps its settings, network ports and the
// files beside them in a folder of its own (configFolder()), and one profile runs once at a time.
#include <QString>
#include <QStringList>

struct ProfileChoice {
    QString name;   // empty: the default folder
    QString error;  // set when the command line is not understood
    bool headless = false;   // --headless: no window, no display
    bool help = false;       // --help
};

// Reads "--profile NAME" or "--profile=NAME", "--headless" and "--help" from the arguments
// (program name first); the toolkit's own options (-platform …) pass, any other "--" option
// is an error.
ProfileChoice ParseProfileArguments(const QStringList& arguments);
// Letters, digits, '-', '_' and '.', 1 to 64 of them, not starting with '.'.
bool ValidProfileName(const QString& name);
// Takes the profile's lock for the life of the process: false when another running instance
// holds it (or the folder cannot be made), with the operator's message in `message`;
// `heldElsewhere` tells the first case from the others.
bool LockProfile(const QString& folder, const QString& name, QString& message, bool* heldElsewhere = nullptr);

#pragma once
// One offscreen main window for the targets that apply what a loader read: created once, with
// its paths in a scratch folder (no ports, no settings of the machine) and its message boxes
// counted instead of shown.
#include <QByteArray>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"

inline int fuzzBoxes = 0;

inline TForm1& fuzzWindow(int* argc, char*** argv, const std::string& settingsPath)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static KadrelApplication app(*argc, *argv);
    const std::string empty = settingsPath + ".empty";
    ::mkdir(empty.c_str(), 0700);
    resetSeams();
    configRoots().sysfsRoot = QString::fromStdString(empty);
    configRoots().virtualPortDir = QString::fromStdString(empty);
    configRoots().settingsPath = QString::fromStdString(settingsPath);
    seams().showMessage = [](MsgKind, const QString&) { ++fuzzBoxes; };
    seams().beep = [] {};
    seams().pause = [](int) {};
    static TForm1* form = new TForm1;
    return *form;
}

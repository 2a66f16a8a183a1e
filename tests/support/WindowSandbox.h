#pragma once
// The common bench of the window tests: a sandboxed home, an empty fake sysfs (no hardware
// port is ever listed) and recorders in place of the message boxes, the beep and the blocking
// pause. Header-only: it needs the program's seams, which kadrel_testsupport does not link.
// Use it as a member or as a second base of a fixture; the seams go back to their defaults
// when it goes.
#include <QString>
#include <QStringList>

#include <filesystem>
#include <string>
#include <vector>

#include "widgets/Seams.h"
#include "link/Tick.h"
#include "files/ConfigPaths.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

struct WindowSandbox {
    enum class Pauses { Recorded, Real };

    explicit WindowSandbox(Pauses pauseKind = Pauses::Recorded)
    {
        resetSeams();
        configRoots().sysfsRoot = QString::fromStdString(sysfs.path());
        // Nothing of the machine's own /dev: a folder to watch and a by-id folder of the test's.
        configRoots().devDir = QString::fromStdString(sysfs.path() + "/dev");
        configRoots().byIdDir = QString::fromStdString(sysfs.path() + "/by-id");
        seams().showMessage = [this](MsgKind kind, const QString& text) {
            events << QStringLiteral("%1: %2").arg(kindName(kind), text);
        };
        seams().beep = [this] { events << QStringLiteral("beep"); };
        if (pauseKind == Pauses::Recorded)
            seams().pause = [this](int ms) { pauses.push_back(ms); };
        tickPace().disconnectWaitMs = 1;
    }
    ~WindowSandbox() { resetSeams(); }
    WindowSandbox(const WindowSandbox&) = delete;
    WindowSandbox& operator=(const WindowSandbox&) = delete;

    static QString kindName(MsgKind kind)
    {
        switch (kind) {
        case MsgKind::Plain: return QStringLiteral("plain");
        case MsgKind::Information: return QStringLiteral("information");
        case MsgKind::Warning: return QStringLiteral("warning");
        case MsgKind::Error: return QStringLiteral("error");
        }
        return QStringLiteral("?");
    }

    std::string portPath(const std::string& name) const { return sandbox.portsDir() + "/" + name; }

    // Lists `target` as the virtual port `name`: a link in the sandbox's port folder.
    std::string publishPort(const std::string& target, const std::string& name) const
    {
        std::filesystem::create_directories(sandbox.portsDir());
        std::filesystem::create_symlink(target, portPath(name));
        return portPath(name);
    }
    std::string publishPort(const TestPty& pty, const std::string& name) const
    {
        return publishPort(pty.slavePath(), name);
    }

    XdgSandbox sandbox;
    TempDir sysfs;
    QStringList events;        // "beep", "plain: …", "information: …", "warning: …", "error: …"
    std::vector<int> pauses;   // with Pauses::Recorded
};

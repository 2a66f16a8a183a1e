#pragma once
// The Qt side of the benchmarks: running the event loop for a while, the offscreen platform,
// and a sandbox folder and start-up for the main window running in this process.
#include <QCheckBox>
#include <QEventLoop>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "widgets/LinkTraffic.h"
#include "files/ConfigPaths.h"
#include "bench/BenchSupport.h"
#include "serial/ComPort.h"

namespace bench {

// Runs this thread's event loop for SECONDS.
inline void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(std::lround(seconds * 1000)), &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until DONE holds (checked every 5 ms) or SECONDS pass; whether it holds.
template <class Pred>
bool runUntil(Pred done, double seconds)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start(5);
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// The process's CPU share over SECONDS of event loop, in percent of one core.
inline double cpuShare(double seconds)
{
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    runFor(seconds);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 100.0 * (cpuSeconds() - cpu0) / wall;
}

// No screen needed, unless the caller asks for one. Before the application is made.
inline void offscreenByDefault()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// A folder /tmp/NAME.XXXXXX for the main window: the settings file z.cf and the sub-folders
// asked for ("ports", "sys", "dev", "by-id"), with the seams pointing at them, so that no real
// port or setting is touched. Removed with the object, also when the benchmark returns early.
class Sandbox {
public:
    Sandbox(const char* name, std::initializer_list<const char*> folders)
    {
        std::string pattern = std::string("/tmp/") + name + ".XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root_ = pattern;
        resetSeams();
        configRoots().settingsPath = path("z.cf");
        seams().beep = [] {};
        for (const char* folder : folders) {
            std::filesystem::create_directories(root_ / folder);
            if (std::strcmp(folder, "sys") == 0)
                configRoots().sysfsRoot = path(folder);
            else if (std::strcmp(folder, "ports") == 0)
                configRoots().virtualPortDir = path(folder);
            else if (std::strcmp(folder, "dev") == 0)
                configRoots().devDir = path(folder);
            else if (std::strcmp(folder, "by-id") == 0)
                configRoots().byIdDir = path(folder);
        }
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox()
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    // The virtual port "BUS", made a link to DEVICE.
    std::filesystem::path publish(const std::string& device) const
    {
        const std::filesystem::path link = root_ / "ports" / "BUS";
        std::filesystem::create_symlink(device, link);
        return link;
    }

private:
    QString path(const char* name) const { return QString::fromStdString((root_ / name).string()); }

    std::filesystem::path root_;
};

// The main window with all four clocks switched on, shown; OBSERVER sees what goes on the wire.
inline TForm1* openWindow(LinkObserver* observer = nullptr)
{
    auto* form = new TForm1;
    if (observer)
        form->Traffic->watch(observer);
    for (int clock = 1; clock <= 4; ++clock)
        form->Clocks[clock].boxActiv->setChecked(true);
    form->show();
    return form;
}

// Clicks "connect"; false, said on stderr, when the port at PATH did not open.
inline bool connectWindow(TForm1& form, const std::string& path)
{
    form.Button_polacz->click();
    if (form.ComPort->Connected())
        return true;
    std::fprintf(stderr, "could not connect to %s\n", path.c_str());
    return false;
}

} // namespace bench

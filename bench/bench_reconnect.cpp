// Reconnect benchmark: the main window polling four simulated clocks over a pseudo-terminal,
// the adapter pulled and brought back under the same link, again and again. Prints the time
// from the device's return (its link made) to the first frame written to it, median and max,
// and the process's CPU share while the window waits for the device.
//
//   bench_reconnect [--pulls N] [--wait-seconds S]      (default 20 pulls, 5 s of waiting)
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "bench/BenchSupport.h"
#include "link/LinkObserver.h"
#include "serial/ComPort.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::BusThread;
using bench::nowMicros;
using bench::Pty;

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

class FirstFrame : public LinkObserver {
public:
    void frameSent(const ByteString&, const FrameAccounting*) override
    {
        if (at == 0)
            at = nowMicros();
    }
    void bytesReceived(const ByteString&) override {}
    void replyAssembled(const AssembleReport&) override {}
    int64_t at = 0;
};

// Runs the event loop until `done` holds (checked every 5 ms) or `seconds` pass.
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

void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    int pulls = 20;
    double waitSeconds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--pulls") == 0)
            pulls = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--wait-seconds") == 0)
            waitSeconds = std::max(1.0, std::atof(argv[++i]));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    KadrelApplication app(argc, argv);

    char folderTemplate[] = "/tmp/bench_reconnect.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (!folder) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root(folder);
    for (const char* sub : {"ports", "sys", "dev", "by-id"})
        fs::create_directories(root / sub);
    const fs::path link = root / "ports" / "BUS";
    auto pty = std::make_unique<Pty>();
    fs::create_symlink(pty->path, link);

    resetSeams();
    seams().sysfsRoot = QString::fromStdString((root / "sys").string());
    seams().virtualPortDir = QString::fromStdString((root / "ports").string());
    seams().settingsPath = QString::fromStdString((root / "z.cf").string());
    seams().devDir = QString::fromStdString((root / "dev").string());
    seams().byIdDir = QString::fromStdString((root / "by-id").string());
    int boxes = 0;
    seams().showMessage = [&](MsgKind kind, const QString&) { boxes += kind == MsgKind::Error; };
    seams().beep = [] {};

    auto bus = std::make_unique<BusThread>(*pty);
    auto* form = new TForm1;
    FirstFrame first;
    form->Observer = &first;
    for (int clock = 1; clock <= 4; ++clock)
        form->Clocks[clock].boxActiv->setChecked(true);
    form->show();
    form->Button_polacz->click();
    if (!form->ComPort->Connected()) {
        std::fprintf(stderr, "could not connect to %s\n", link.c_str());
        return 1;
    }
    std::printf("bench_reconnect: main window on a pty, four simulated clocks, %d pulls\n", pulls);

    std::vector<double> returnToFrameMs;
    double waitingCpu = -1;
    for (int pull = 0; pull < pulls; ++pull) {
        runFor(0.3);
        bus.reset();
        pty->closeAll();
        fs::remove(link);
        if (!runUntil([&] { return form->WaitingForPort() && !form->ComPort->Connected(); }, 5)) {
            std::printf("pull %d: the window did not start waiting\n", pull + 1);
            return 1;
        }
        if (pull == 0) {
            runFor(1.5);   // past the disconnect's one-second wait
            const double cpu0 = cpuSeconds();
            const auto t0 = Clock::now();
            runFor(waitSeconds);
            waitingCpu = 100.0 * (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
        } else {
            runFor(1.2);
        }
        pty = std::make_unique<Pty>();
        bus = std::make_unique<BusThread>(*pty);
        first.at = 0;
        const int64_t back = nowMicros();
        fs::create_symlink(pty->path, link);
        if (!runUntil([&] { return first.at != 0; }, 10)) {
            std::printf("pull %d: no frame within 10 s of the return\n", pull + 1);
            return 1;
        }
        returnToFrameMs.push_back((first.at - back) / 1000.0);
    }
    std::vector<double> sorted = returnToFrameMs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("return -> first frame over %d pulls: median %.0f ms, max %.0f ms (target <= 1500 ms)\n", pulls,
                sorted[sorted.size() / 2], sorted.back());
    std::printf("CPU while waiting for the device (%.0f s, the 100 ms tick running): %.3f %% of one core "
                "(target <= 0.2 %%)\n",
                waitSeconds, waitingCpu);
    std::printf("error boxes: %d (one per pull)\n", boxes);

    form->Observer = nullptr;
    delete form;
    bus.reset();
    pty.reset();
    fs::remove_all(root);
    return 0;
}

// Unplug benchmark: the main window polling four simulated clocks over a pseudo-terminal, then
// the adapter pulled (the pty's other side closed, its link removed) with the window's own
// 100 ms tick running on. Prints the process's CPU share before and after the pull, the time
// from the pull to the error box and to the port being closed, and, for comparison, how often a
// plain poll() on a hung-up pty would wake a thread that did not notice the hang-up.
//
//   bench_unplug [--seconds N]      (default 5 per phase)
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "link/LinkObserver.h"
#include "serial/ComPort.h"
#include "bench/BenchSupport.h"
#include "sim/Bus.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::BusThread;
using bench::nowMicros;
using bench::Pty;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

class FrameCounter : public LinkObserver {
public:
    void frameSent(const ByteString&, const FrameAccounting*) override { ++frames; }
    void bytesReceived(const ByteString&) override { ++chunks; }
    void replyAssembled(const AssembleReport&) override {}
    long frames = 0, chunks = 0;
};

void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// The process's CPU share over `seconds` of event loop, in percent of one core.
double cpuShare(double seconds)
{
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    runFor(seconds);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpuSeconds() - cpu0) / wall;
}

// Wake-ups per second of a level-triggered poll() on a pty whose other side has closed.
double hungUpWakeUps(double seconds)
{
    Pty pty;
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pty.closeAll();
    long wakeUps = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            ++wakeUps;
    }
    ::close(fd);
    return wakeUps / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 5;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(0.5, std::atof(argv[++i]));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    KadrelApplication app(argc, argv);

    // A sandbox of its own: no settings file, no hardware ports, one virtual port.
    char folderTemplate[] = "/tmp/bench_unplug.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (!folder) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root(folder);
    fs::create_directories(root / "ports");
    fs::create_directories(root / "sys");
    auto pty = std::make_unique<Pty>();
    const fs::path link = root / "ports" / "BUS";
    fs::create_symlink(pty->path, link);

    int boxes = 0;
    int64_t boxAt = 0;
    bool closedAtBox = false;
    TForm1* form = nullptr;
    resetSeams();
    seams().sysfsRoot = QString::fromStdString((root / "sys").string());
    seams().virtualPortDir = QString::fromStdString((root / "ports").string());
    seams().settingsPath = QString::fromStdString((root / "z.cf").string());
    seams().showMessage = [&](MsgKind kind, const QString& text) {
        if (kind == MsgKind::Error && ++boxes == 1) {
            boxAt = nowMicros();
            closedAtBox = form && !form->ComPort->Connected();
            std::printf("  error box: %s\n", qUtf8Printable(text));
        }
    };
    seams().beep = [] {};

    auto* bus = new BusThread(*pty);
    form = new TForm1;
    FrameCounter counter;
    form->Observer = &counter;
    for (int clock = 1; clock <= 4; ++clock)
        form->Clocks[clock].boxActiv->setChecked(true);
    form->show();
    form->Button_polacz->click();
    if (!form->ComPort->Connected()) {
        std::fprintf(stderr, "could not connect to %s\n", link.c_str());
        return 1;
    }
    std::printf("bench_unplug: main window on a pty, four simulated clocks, 100 ms tick, %.1f s per phase\n", seconds);

    runFor(0.5);
    const long framesBefore = counter.frames;
    const double polling = cpuShare(seconds);
    std::printf("connected, polling:             %6.2f %% of one core (%ld frames sent; the simulated bus thread included)\n",
                polling, counter.frames - framesBefore);

    // Pull: the bus side goes first, then every descriptor of the pty's other side, then the link.
    bus->stop();
    delete bus;
    const uint64_t wakeUpsBefore = form->ComPort->EventThreadWakeUps();
    const int64_t pulledAt = nowMicros();
    pty->closeAll();
    fs::remove(link);
    {
        QEventLoop wait;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (boxes > 0)
                wait.quit();
        });
        check.start(1);
        QTimer::singleShot(5000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    if (boxes == 0) {
        std::printf("no error box within 5 s of the pull\n");
        return 1;
    }
    std::printf("pull -> error box:              %6.1f ms; port already closed then: %s (thread wake-ups before: %llu)\n",
                (boxAt - pulledAt) / 1000.0, closedAtBox ? "yes" : "no",
                static_cast<unsigned long long>(wakeUpsBefore));

    const long framesAtBox = counter.frames;
    // The disconnect's one-second wait runs first, then ticks that send nothing.
    const double after = cpuShare(seconds);
    std::printf("after the pull, ticks running:  %6.2f %% of one core; frames sent: %ld; error boxes: %d; "
                "event thread: %s; status: %s\n",
                after, counter.frames - framesAtBox, boxes,
                form->ComPort->EventThreadRunning() ? "RUNNING" : "ended",
                qUtf8Printable(form->Edit_status->text()));
    const double idle = cpuShare(seconds);
    std::printf("the %.1f s after that:           %6.2f %% of one core\n", seconds, idle);

    std::printf("for comparison, poll() on a hung-up pty that ignores the hang-up: %.0f wake-ups/s\n",
                hungUpWakeUps(0.2));

    form->Observer = nullptr;
    delete form;
    pty.reset();
    fs::remove_all(root);
    return 0;
}

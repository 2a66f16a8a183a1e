// Unplug benchmark: the main window polling four simulated clocks over a pseudo-terminal, then
// the adapter pulled (the pty's other side closed, its link removed) with the window's own
// 100 ms tick running on. Prints the process's CPU share before and after the pull, the time
// from the pull to the error box and to the port being closed, and, for comparison, how often a
// plain poll() on a hung-up pty would wake a thread that did not notice the hang-up.
//
//   bench_unplug [--seconds N]      (default 5 per phase)
#include <QLineEdit>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "bench/BenchQt.h"
#include "bench/BenchSupport.h"
#include "link/LinkObserver.h"
#include "widgets/LinkTraffic.h"
#include "serial/ComPort.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::BusThread;
using bench::cpuShare;
using bench::nowMicros;
using bench::Pty;
using bench::runFor;

class FrameCounter : public LinkObserver {
public:
    void frameSent(const ByteString&, const FrameAccounting*) override { ++frames; }
    void bytesReceived(const ByteString&) override { ++chunks; }
    void replyAssembled(const AssembleReport&) override {}
    long frames = 0, chunks = 0;
};

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
    const double seconds = bench::option(argc, argv, "--seconds", 5.0, 0.5);
    bench::offscreenByDefault();
    KadrelApplication app(argc, argv);

    // A sandbox of its own: no settings file, no hardware ports, one virtual port.
    bench::Sandbox sandbox("bench_unplug", {"ports", "sys"});
    auto pty = std::make_unique<Pty>();
    const fs::path link = sandbox.publish(pty->path);

    int boxes = 0;
    int64_t boxAt = 0;
    bool closedAtBox = false;
    TForm1* form = nullptr;
    seams().showMessage = [&](MsgKind kind, const QString& text) {
        if (kind == MsgKind::Error && ++boxes == 1) {
            boxAt = nowMicros();
            closedAtBox = form && !form->ComPort->Connected();
            std::printf("  error box: %s\n", qUtf8Printable(text));
        }
    };

    auto bus = std::make_unique<BusThread>(*pty);
    FrameCounter counter;
    form = bench::openWindow(&counter);
    if (!bench::connectWindow(*form, link))
        return 1;
    std::printf("bench_unplug: main window on a pty, four simulated clocks, 100 ms tick, %.1f s per phase\n", seconds);

    runFor(0.5);
    const long framesBefore = counter.frames;
    const double polling = cpuShare(seconds);
    std::printf("connected, polling:             %6.2f %% of one core (%ld frames sent; the simulated bus thread included)\n",
                polling, counter.frames - framesBefore);

    // Pull: the bus side goes first, then every descriptor of the pty's other side, then the link.
    bus.reset();
    const uint64_t wakeUpsBefore = form->ComPort->EventThreadWakeUps();
    const int64_t pulledAt = nowMicros();
    pty->closeAll();
    fs::remove(link);
    if (!bench::runUntil([&] { return boxes > 0; }, 5)) {
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

    form->Traffic->unwatch(&counter);
    delete form;
    pty.reset();
    return 0;
}

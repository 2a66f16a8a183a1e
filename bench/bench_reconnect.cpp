// Reconnect benchmark: the main window polling four simulated clocks over a pseudo-terminal,
// the adapter pulled and brought back under the same link, again and again. Prints the time
// from the device's return (its link made) to the first frame written to it, median and max,
// and the process's CPU share while the window waits for the device.
//
//   bench_reconnect [--pulls N] [--wait-seconds S]      (default 20 pulls, 5 s of waiting)

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "bench/BenchQt.h"
#include "bench/BenchSupport.h"
#include "link/LinkObserver.h"
#include "serial/ComPort.h"

namespace fs = std::filesystem;
using bench::BusThread;
using bench::nowMicros;
using bench::Pty;
using bench::runFor;
using bench::runUntil;

namespace {

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

} // namespace

int main(int argc, char** argv)
{
    const int pulls = bench::option(argc, argv, "--pulls", 20, 1);
    const double waitSeconds = bench::option(argc, argv, "--wait-seconds", 5.0, 1.0);
    bench::offscreenByDefault();
    KadrelApplication app(argc, argv);

    bench::Sandbox sandbox("bench_reconnect", {"ports", "sys", "dev", "by-id"});
    auto pty = std::make_unique<Pty>();
    const fs::path link = sandbox.publish(pty->path);
    int boxes = 0;
    seams().showMessage = [&](MsgKind kind, const QString&) { boxes += kind == MsgKind::Error; };

    auto bus = std::make_unique<BusThread>(*pty);
    FirstFrame first;
    auto* form = bench::openWindow(&first);
    if (!bench::connectWindow(*form, link))
        return 1;
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
            waitingCpu = bench::cpuShare(waitSeconds);
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
    return 0;
}

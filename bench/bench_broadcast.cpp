// Wall-clock tick benchmark: the main window polling four simulated clocks over a
// pseudo-terminal. Prints each time broadcast's lateness after the start of the second it
// carries (median and max, and whether the carried second was the wall clock's), the spacing
// of all frames (no two closer than 90 ms) and of the first two frames after each "START".
//
//   bench_broadcast [--minutes M] [--starts N]      (default 10 minutes, 5 starts)
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "bench/BenchQt.h"
#include "bench/BenchSupport.h"
#include "link/LinkObserver.h"
#include "widgets/LinkTraffic.h"
#include "serial/ComPort.h"

using bench::BusThread;
using bench::nowMicros;
using bench::Pty;
using bench::runFor;

namespace {

int64_t wallMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class Frames : public LinkObserver {
public:
    void frameSent(const ByteString& frame, const FrameAccounting* accounting) override
    {
        const int64_t wall = wallMicros();
        const int64_t mono = nowMicros();
        if (last != 0)
            minGapUs = std::min(minGapUs, mono - last);
        if (countFirst && last0 == 0)
            last0 = mono;
        else if (countFirst) {
            firstGapsUs.push_back(mono - last0);
            countFirst = false;
            last0 = 0;
        }
        last = mono;
        ++frames;
        if (accounting)
            return;
        // The broadcast: "Z", 0x00 … with hh, mm, ss as carried; compare with the wall clock.
        const time_t seconds = static_cast<time_t>(wall / 1000000);
        tm local{};
        localtime_r(&seconds, &local);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec);
        if (frame.size() < 9 || frame.substr(3, 6) != expected)
            ++wrongSecond;
        latenessUs.push_back(wall % 1000000);
    }
    void bytesReceived(const ByteString&) override {}
    void replyAssembled(const AssembleReport&) override {}
    int64_t last = 0, last0 = 0, minGapUs = INT64_MAX;
    bool countFirst = false;
    long frames = 0;
    int wrongSecond = 0;
    std::vector<int64_t> latenessUs, firstGapsUs;
};

double median(std::vector<int64_t> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2] / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    const double minutes = bench::option(argc, argv, "--minutes", 10.0, 0.1);
    const int starts = bench::option(argc, argv, "--starts", 5, 1);
    bench::offscreenByDefault();
    KadrelApplication app(argc, argv);

    bench::Sandbox sandbox("bench_broadcast", {"ports", "sys", "dev", "by-id"});
    Pty pty;
    sandbox.publish(pty.path);
    seams().showMessage = [](MsgKind, const QString& text) { std::printf("box: %s\n", qUtf8Printable(text)); };

    BusThread bus(pty);
    Frames frames;
    auto* form = bench::openWindow(&frames);
    std::printf("bench_broadcast: main window on a pty, four simulated clocks, %d starts, %.1f minutes\n", starts,
                minutes);
    for (int s = 0; s < starts; ++s) {
        runFor(0.137 * (s + 1));   // "START" at different moments of the tick
        frames.countFirst = true;
        form->Button_polacz->click();   // the real 100 ms blocking pause
        runFor(1.0);
        if (s + 1 < starts)
            form->Button2->click();
    }
    if (!form->ComPort->Connected()) {
        std::printf("not connected\n");
        return 1;
    }
    frames.latenessUs.clear();
    const long framesBefore = frames.frames;
    runFor(minutes * 60);
    const std::vector<int64_t>& late = frames.latenessUs;
    std::printf("broadcasts: %zu in %.1f min; lateness after the second carried: median %.1f ms, max %.1f ms "
                "(target <= 20 ms); carrying another second: %d\n",
                late.size(), minutes, median(late), late.empty() ? 0.0 : *std::max_element(late.begin(), late.end()) / 1000.0,
                frames.wrongSecond);
    std::printf("frames: %ld; closest two frames: %.1f ms (no two closer than 90 ms)\n", frames.frames - framesBefore,
                frames.minGapUs / 1000.0);
    std::printf("first two frames after START (%zu starts): min %.1f ms, max %.1f ms apart\n", frames.firstGapsUs.size(),
                frames.firstGapsUs.empty() ? 0.0 : *std::min_element(frames.firstGapsUs.begin(), frames.firstGapsUs.end()) / 1000.0,
                frames.firstGapsUs.empty() ? 0.0 : *std::max_element(frames.firstGapsUs.begin(), frames.firstGapsUs.end()) / 1000.0);
    form->Traffic->unwatch(&frames);
    delete form;
    return 0;
}

// Plan benchmark. First the engine alone: a plan of 500 entries and 50 exceptions, the time of
// "Następne" (the next ten firings) and the cost of one tick's look at the plan, and the check of
// a plan as large as its file may be (what a PUT over the remote API may send). Then the built
// program without a screen on a pseudo-terminal: the lateness of 30 planned commands, from the
// entry's second on the wall clock to its frame's first byte on the pty, and the program's CPU
// with that large plan against the same program with none.
//   bench_plan [--firings 30] [--seconds 20]
#include <QDate>
#include <QDateTime>
#include <QString>

#include <sys/wait.h>

#include "bench/BenchSupport.h"
#include "plan/PlanEngine.h"
#include "plan/PlanFile.h"

namespace {

int64_t wallMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// 5 day types of 100 entries, the week Monday to Friday, 50 one-day exceptions across the year
// (every other one with another day type). No entry falls within the next `quietMinutes`.
Plan largePlan(int quietMinutes)
{
    Plan p;
    const int nowMinute = QTime::currentTime().msecsSinceStartOfDay() / 60000;
    for (int t = 0; t < 5; ++t) {
        DayType d;
        d.name = QStringLiteral("Typ %1").arg(t + 1);
        for (int i = 0; i < 100; ++i) {
            PlanEntry e;
            const int minute = (nowMinute + quietMinutes + i * 7 + t) % 1440;
            e.hour = minute / 60;
            e.minute = minute % 60;
            e.second = t;
            e.name = QStringLiteral("Wpis %1").arg(i + 1);
            e.target = i % 5;
            e.action = (i % 2) ? PlanAction::Brightness : PlanAction::Preset;
            e.minutes = 10;
            e.value = i % 4;
            d.entries.push_back(e);
        }
        p.dayTypes.push_back(std::move(d));
    }
    for (int w = 0; w < 5; ++w)
        p.week[static_cast<size_t>(w)] = QStringLiteral("Typ %1").arg(w + 1);
    const QDate today = QDate::currentDate();
    for (int x = 0; x < 50; ++x)
        p.exceptions.push_back({today.addDays(3 + x * 7), today.addDays(3 + x * 7), QStringLiteral("Wyjątek %1").arg(x + 1),
                                x % 2 ? QStringLiteral("Typ 1") : QString()});
    return p;
}

std::string planJson(const Plan& p)
{
    return planToJson(p).toStdString();
}

void engineFigures()
{
    const Plan plan = largePlan(0);
    if (const QString why = validatePlan(plan); !why.isEmpty()) {
        std::printf("plan refused: %s\n", qUtf8Printable(why));
        std::exit(1);
    }
    PlanEngine engine;
    engine.setPlan(plan);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    std::vector<double> nextMs;
    for (int i = 0; i < 200; ++i) {
        engine.setPlan(plan);   // a cold cache each time, as after "Zapisz"
        const int64_t t0 = bench::nowMicros();
        const auto next = engine.next(now + i * 3600, 10);
        nextMs.push_back((bench::nowMicros() - t0) / 1000.0);
        if (next.size() != 10) {
            std::printf("next: %zu firings, not 10\n", next.size());
            std::exit(1);
        }
    }
    std::printf("engine, 500 entries and 50 exceptions:\n");
    std::printf("  Następne (10 firings, cold): median %.3f ms, p99 %.3f ms, max %.3f ms (limit 5 ms)\n",
                bench::percentile(nextMs, 50), bench::percentile(nextMs, 99), bench::percentile(nextMs, 100));
    // An hour of ticks at 100 ms.
    qint64 wall = now * 1000, mono = 0;
    engine.start(wall, mono, now - 1, true);
    const double cpu0 = bench::cpuSeconds();
    size_t events = 0;
    for (int i = 0; i < 36000; ++i) {
        wall += 100;
        mono += 100;
        events += engine.advance(wall, mono, true).size();
    }
    const double perTickUs = (bench::cpuSeconds() - cpu0) / 36000 * 1e6;
    std::printf("  one tick's look: %.2f us of CPU, %.4f %% of a core at 10 ticks a second (%zu firings in the hour)\n",
                perTickUs, perTickUs * 10 / 1e6 * 100, events);
}

// The largest plan the file (and a PUT over the remote API) may hold: a command a second in one
// day type, thousands of one-day exceptions and of day types, read and checked as a PUT is, on
// the user-interface thread.
void fullFileFigures()
{
    QByteArray json = R"({"format": "kadrel-harmonogram", "version": 1, "dayTypes": [{"name": "Dzień", "entries": [)";
    int entries = 0;
    for (; json.size() < PlanFileMaxBytes * 5 / 10; ++entries)
        json += QStringLiteral(R"(%1{"time": "%2", "target": "W", "action": "start"})")
                    .arg(entries ? QStringLiteral(", ") : QString(),
                         QTime(0, 0).addSecs(entries).toString(QStringLiteral("HH:mm:ss")))
                    .toUtf8();
    json += "]}";
    int types = 0;
    while (json.size() < PlanFileMaxBytes * 7 / 10)
        json += QStringLiteral(R"(, {"name": "Typ %1"})").arg(++types).toUtf8();
    json += R"(], "exceptions": [)";
    int exceptions = 0;
    for (; json.size() < PlanFileMaxBytes - 200; ++exceptions)
        json += QStringLiteral(R"(%1{"from": "%2"})")
                    .arg(exceptions ? QStringLiteral(", ") : QString(),
                         QDate(2027, 1, 1).addDays(exceptions).toString(Qt::ISODate))
                    .toUtf8();
    json += "]}";
    Plan plan;
    const int64_t t0 = bench::nowMicros();
    const QString why = planFromJson(json, plan);
    const double ms = (bench::nowMicros() - t0) / 1000.0;
    std::printf("a full plan file (%lld B: %d entries, %d day types, %d exceptions) read and checked: %.1f ms%s\n",
                static_cast<long long>(json.size()), entries, types + 1, exceptions, ms,
                why.isEmpty() ? "" : qPrintable(QStringLiteral(" (refused: %1)").arg(why)));
}

// Reads frames from the master until `deadline`; for each command frame (address 0, START or
// STOP) the wall-clock time of its first byte.
std::vector<int64_t> commandTimes(int master, int64_t deadlineWallUs, size_t wanted)
{
    std::vector<int64_t> times;
    std::string frame;
    int64_t firstUs = 0;
    while (wallMicros() < deadlineWallUs && times.size() < wanted) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        unsigned char byte = 0;
        if (::read(master, &byte, 1) != 1)
            continue;
        if (frame.empty()) {
            if (byte != 0x5A)
                continue;
            firstUs = wallMicros();
        }
        frame.push_back(static_cast<char>(byte));
        if (frame.size() >= 3 && frame.size() == 4u + static_cast<unsigned char>(frame[2])) {
            if (frame.size() == 5 && frame[1] == 0 && (frame[3] == 1 || frame[3] == 2))
                times.push_back(firstUs);
            frame.clear();
        }
    }
    return times;
}

double programCpu(const Plan* plan, int seconds)
{
    bench::Pty pty;
    bench::Home home;
    home.publish("BENCH", pty.path);
    home.writeSettings();
    if (plan)
        std::ofstream(home.root / "config/kadrel/harmonogram.json") << planJson(*plan);
    const pid_t pid = home.startProgram({"--headless"}, (home.root / "out.txt").string());
    std::this_thread::sleep_for(std::chrono::seconds(3));   // past the start
    const double before = bench::readProc(pid).cpuSeconds;
    const int64_t end = wallMicros() + int64_t(seconds) * 1000000;
    char buffer[256];
    while (wallMicros() < end) {
        pollfd p{pty.master, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && ::read(pty.master, buffer, sizeof buffer) <= 0)
            break;
    }
    const double used = bench::readProc(pid).cpuSeconds - before;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (plan && home.logCount("Harmonogram wczytany") != 1)
        std::printf("  (the large plan was not read: %s)\n", home.eventLog().c_str());
    return used / seconds * 100;
}

} // namespace

int main(int argc, char** argv)
{
    const int firings = bench::option(argc, argv, "--firings", 30, 1);
    const int seconds = bench::option(argc, argv, "--seconds", 20, 2);
    std::printf("bench_plan: %d firings, %d s per CPU phase, program %s\n", firings, seconds, KADREL_BUILD_DIR "/kadrel");
    engineFigures();
    fullFileFigures();

    // One command a second from five seconds after the start, START and STOP by turns.
    bench::Pty pty;
    bench::Home home;
    home.publish("BENCH", pty.path);
    home.writeSettings();
    const qint64 first = QDateTime::currentSecsSinceEpoch() + 5;
    Plan plan;
    DayType day;
    day.name = QStringLiteral("Dzień");
    for (int k = 0; k < firings; ++k) {
        const QTime at = QDateTime::fromSecsSinceEpoch(first + k).time();
        PlanEntry e;
        e.hour = at.hour();
        e.minute = at.minute();
        e.second = at.second();
        e.name = QStringLiteral("Pomiar %1").arg(k + 1);
        e.action = k % 2 ? PlanAction::Stop : PlanAction::Start;
        day.entries.push_back(e);
    }
    plan.dayTypes.push_back(day);
    plan.week.fill(QStringLiteral("Dzień"));
    std::ofstream(home.root / "config/kadrel/harmonogram.json") << planJson(plan);
    const pid_t pid = home.startProgram({"--headless"}, (home.root / "out.txt").string());
    const std::vector<int64_t> times = commandTimes(pty.master, (first + firings + 3) * 1000000, static_cast<size_t>(firings));
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::vector<double> lateMs;
    for (size_t k = 0; k < times.size(); ++k)
        lateMs.push_back((times[k] - (first + static_cast<qint64>(k)) * 1000000) / 1000.0);
    std::printf("lateness of %zu of %d planned commands (entry's second to first byte):\n", times.size(), firings);
    if (!lateMs.empty()) {
        const double p99 = bench::percentile(lateMs, 99);
        std::printf("  min %.1f ms, median %.1f ms, p99 %.1f ms, max %.1f ms; limit one tick + 20 ms = 120 ms: %s; "
                    "early: %s\n",
                    bench::percentile(lateMs, 0), bench::percentile(lateMs, 50), p99, bench::percentile(lateMs, 100),
                    p99 <= 120 ? "kept" : "EXCEEDED", bench::percentile(lateMs, 0) < 0 ? "YES" : "never");
    }

    const Plan large = largePlan(30);
    const double without = programCpu(nullptr, seconds);
    const double with = programCpu(&large, seconds);
    std::printf("program CPU over %d s: no plan %.3f %%, 500 entries and 50 exceptions %.3f %% of a core "
                "(difference %.3f, limit 0.1)\n",
                seconds, without, with, with - without);
    return 0;
}

// The plan's engine against a wall clock of the test's own: which entries fire at which tick,
// once, across midnight, ranges, both changes of summer time in Europe/Warsaw, steps of the
// wall clock, the bus away and back, catch-up windows, a program that was not running, a pause.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "plan/PlanEngine.h"

namespace {

// Before anything asks Qt for the system's zone.
const bool warsaw = [] {
    setenv("TZ", "Europe/Warsaw", 1);
    tzset();
    return true;
}();

PlanEntry entry(const char* time, const char* name, PlanAction action = PlanAction::Start, int catchUpMinutes = 0)
{
    PlanEntry e;
    const QStringList parts = QString::fromLatin1(time).split(QLatin1Char(':'));
    e.hour = parts.value(0).toInt();
    e.minute = parts.value(1).toInt();
    e.second = parts.value(2).toInt();
    e.name = QString::fromUtf8(name);
    e.action = action;
    e.catchUp = catchUpMinutes > 0;
    e.catchUpMinutes = catchUpMinutes;
    return e;
}

// One day type "Dzień" that runs every day of the week.
Plan everyDay(std::vector<PlanEntry> entries)
{
    Plan p;
    p.dayTypes.push_back({QStringLiteral("Dzień"), std::move(entries)});
    p.week.fill(QStringLiteral("Dzień"));
    return p;
}

QDate date(const char* iso)
{
    return QDate::fromString(QString::fromLatin1(iso), Qt::ISODate);
}

qint64 localMs(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toMSecsSinceEpoch();
}

struct Step {
    qint64 durationMs;     // how long the ticks run
    qint64 tickMs = 100;
    bool ready = true;
    qint64 jumpMs = 0;     // the wall clock stepped by this before the ticks (the monotonic clock not)
};

// In PlanEventKind's order.
const char* const KindNames[] = {"fired", "missed", "caught-up", "deferred", "restored", "step"};

using Lines = std::vector<std::string>;

// "TICK-TIME ZONE kind name" for each event, the tick's local time to the second; the zone's
// name tells the two 02:30 of the change back apart. `fired` gets the instants fired.
Lines run(const Plan& plan, const char* startLocal, const std::vector<Step>& steps, const char* sinceLocal,
          std::vector<qint64>& fired)
{
    PlanEngine engine;
    engine.setPlan(plan);
    qint64 wall = localMs(startLocal);
    qint64 mono = 1000000;
    Lines out;
    const auto note = [&](const std::vector<PlanEvent>& events) {
        for (const PlanEvent& e : events) {
            if (e.kind == PlanEventKind::Fired)
                fired.push_back(e.firing.at);
            std::string line = QDateTime::fromMSecsSinceEpoch(wall).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")).toStdString();
            line += std::string(" ") + KindNames[static_cast<int>(e.kind)];
            if (e.kind != PlanEventKind::ClockStepped)
                line += " " + e.firing.entry.name.toStdString();
            if (e.willCatchUp)
                line += " (later)";
            out.push_back(line);
        }
    };
    bool first = true;
    for (const Step& s : steps) {
        wall += s.jumpMs;
        for (qint64 t = 0; t < s.durationMs; t += s.tickMs) {
            if (first) {
                const qint64 since = sinceLocal ? localMs(sinceLocal) / 1000 : wall / 1000 - 1;
                note(engine.start(wall, mono, since, s.ready));
                first = false;
            } else {
                note(engine.advance(wall, mono, s.ready));
            }
            wall += s.tickMs;
            mono += s.tickMs;
        }
    }
    return out;
}

struct EngineCase {
    const char* name;
    Plan plan;
    const char* start;
    std::vector<Step> steps;
    Lines events;
    const char* since = nullptr;   // the end of the last run; null: just before the start
};

Plan schoolWeek()
{
    Plan p;
    p.dayTypes.push_back({QStringLiteral("Zwykły dzień"), {entry("08:00", "Lekcja 1")}});
    p.dayTypes.push_back({QStringLiteral("Skrócone lekcje"), {entry("08:00:05", "Skrócona 1")}});
    for (int d = 0; d < 5; ++d)
        p.week[static_cast<size_t>(d)] = QStringLiteral("Zwykły dzień");
    p.exceptions.push_back({date("2027-03-10"), date("2027-03-10"), QStringLiteral("Rada"), QStringLiteral("Skrócone lekcje")});
    p.exceptions.push_back({date("2027-03-11"), date("2027-03-12"), QStringLiteral("Święto"), QString()});
    return p;
}

Plan tournament()
{
    Plan p;
    PlanEntry weekend = entry("18:00", "I połowa");
    weekend.weekdays = 0x60;   // Saturday and Sunday only
    p.dayTypes.push_back({QStringLiteral("Mecz"), {entry("17:59:59", "Rozgrzewka"), weekend}});
    p.exceptions.push_back({date("2027-03-13"), date("2027-03-15"), QStringLiteral("Turniej"), QStringLiteral("Mecz")});
    return p;
}

Plan paused(bool enabled)
{
    Plan p = everyDay({entry("08:00", "Lekcja")});
    p.pausedUntil = date("2027-03-05");
    p.enabled = enabled;
    return p;
}

const Plan BusAway = everyDay({entry("10:00:02", "Nadrabiany", PlanAction::Start, 1), entry("10:00:03", "Zwykły"),
                               entry("10:00:04", "Jasność", PlanAction::Brightness)});

TEST(PlanEngine, EachEntryFiresInItsSecondOnce)
{
    ASSERT_EQ(QTimeZone::systemTimeZone().id(), QByteArray("Europe/Warsaw"));
    const EngineCase cases[] = {
        {"midnight", everyDay({entry("00:00:00", "Północ")}), "2027-03-03 23:59:58.005", {{5000}},
         {"2027-03-04 00:00:00 CET fired Północ"}},
        // Tuesday 9 March to Monday 15 March, a tick a second.
        {"week template and exceptions", schoolWeek(), "2027-03-09 07:59:59.500", {{6 * 86400000LL + 2000, 1000}},
         {"2027-03-09 08:00:00 CET fired Lekcja 1", "2027-03-10 08:00:05 CET fired Skrócona 1",
          "2027-03-15 08:00:00 CET fired Lekcja 1"}},
        // From Friday 12th: nothing that day, the range from Saturday; Monday has no "I połowa".
        {"first day of a range, weekday filter", tournament(), "2027-03-12 17:00:00.250", {{4 * 86400000LL, 1000}},
         {"2027-03-13 17:59:59 CET fired Rozgrzewka", "2027-03-13 18:00:00 CET fired I połowa",
          "2027-03-14 17:59:59 CET fired Rozgrzewka", "2027-03-14 18:00:00 CET fired I połowa",
          "2027-03-15 17:59:59 CET fired Rozgrzewka"}},
        // 28 March 2027: 02:00 CET becomes 03:00 CEST.
        {"skipped hour fires at the jump",
         everyDay({entry("01:59:59", "Przed"), entry("02:30", "W luce"), entry("03:00:01", "Po")}),
         "2027-03-28 01:59:58.005", {{5000}},
         {"2027-03-28 01:59:59 CET fired Przed", "2027-03-28 03:00:00 CEST fired W luce",
          "2027-03-28 03:00:01 CEST fired Po"}},
        // 31 October 2027: 03:00 CEST becomes 02:00 CET; 02:30 comes twice and fires at the first.
        {"doubled hour fires once", everyDay({entry("02:30", "Nocna"), entry("03:10", "Po")}),
         "2027-10-31 01:59:59.500", {{2 * 3600000LL + 15 * 60000LL, 1000}},
         {"2027-10-31 02:30:00 CEST fired Nocna", "2027-10-31 03:10:00 CET fired Po"}},
        {"clock stepped forward: the span skipped, a catch-up in its window",
         everyDay({entry("10:00:02", "Zwykły"), entry("10:00:30", "Pominięty"),
                   entry("10:00:40", "Nadrabiany", PlanAction::Start, 5), entry("10:20", "Później")}),
         "2027-05-04 10:00:00.500", {{5000}, {5000, 100, true, 60000}},
         {"2027-05-04 10:00:02 CEST fired Zwykły", "2027-05-04 10:01:05 CEST step",
          "2027-05-04 10:01:05 CEST missed Pominięty", "2027-05-04 10:01:05 CEST caught-up Nadrabiany"}},
        {"clock stepped back: nothing twice", everyDay({entry("10:00:02", "Raz"), entry("10:00:08", "Dalej")}),
         "2027-05-04 10:00:00.500", {{5000}, {20000, 100, true, -10000}},
         {"2027-05-04 10:00:02 CEST fired Raz", "2027-05-04 09:59:55 CEST step", "2027-05-04 10:00:08 CEST fired Dalej"}},
        {"bus away: commands missed, settings kept, caught up in the window", BusAway, "2027-05-04 10:00:00.500",
         {{10000, 100, false}, {1000, 100, true}},
         {"2027-05-04 10:00:02 CEST missed Nadrabiany (later)", "2027-05-04 10:00:03 CEST missed Zwykły",
          "2027-05-04 10:00:04 CEST deferred Jasność", "2027-05-04 10:00:10 CEST caught-up Nadrabiany",
          "2027-05-04 10:00:10 CEST restored Jasność"}},
        {"bus back after the window: not done at all", BusAway, "2027-05-04 10:00:00.500",
         {{70000, 1000, false}, {1000, 100, true}},
         {"2027-05-04 10:00:02 CEST missed Nadrabiany (later)", "2027-05-04 10:00:03 CEST missed Zwykły",
          "2027-05-04 10:00:04 CEST deferred Jasność", "2027-05-04 10:01:03 CEST missed Nadrabiany",
          "2027-05-04 10:01:10 CEST restored Jasność"}},
        {"due while not running: missed, not fired",
         everyDay({entry("09:00", "Wczoraj?"), entry("10:01", "Dawno"), entry("10:02", "Nadrabiany", PlanAction::Stop, 10),
                   entry("10:05:01", "Teraz")}),
         "2027-05-04 10:05:00.500", {{500, 100, false}, {1000, 100, true}},
         {"2027-05-04 10:05:00 CEST missed Dawno", "2027-05-04 10:05:00 CEST missed Nadrabiany (later)",
          "2027-05-04 10:05:01 CEST fired Teraz", "2027-05-04 10:05:01 CEST caught-up Nadrabiany"},
         "2027-05-04 09:30:00.000"},
        {"paused until a date", paused(true), "2027-03-03 07:59:59.500", {{2 * 86400000LL + 2000, 1000}},
         {"2027-03-05 08:00:00 CET fired Lekcja"}},
        {"switched off", paused(false), "2027-03-05 07:59:59.500", {{3000}}, {}},
    };
    for (const EngineCase& c : cases) {
        std::vector<qint64> fired;
        EXPECT_EQ(run(c.plan, c.start, c.steps, c.since, fired), c.events) << c.name;
        // "Następne" is the same engine: with the bus there and the clock steady, what it lists
        // from the start is what then fires.
        if (c.since || std::any_of(c.steps.begin(), c.steps.end(), [](const Step& s) { return !s.ready || s.jumpMs; }))
            continue;
        PlanEngine engine;
        engine.setPlan(c.plan);
        qint64 lastTickMs = localMs(c.start) - c.steps.back().tickMs;
        for (const Step& s : c.steps)
            lastTickMs += s.durationMs;
        std::vector<qint64> listed;
        for (const PlanFiring& f : engine.next(localMs(c.start) / 1000 - 1, static_cast<int>(fired.size()) + 1))
            if (f.at <= lastTickMs / 1000)
                listed.push_back(f.at);
        EXPECT_EQ(listed, fired) << c.name;
    }
}

} // namespace

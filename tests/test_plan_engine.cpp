// The plan's engine against a wall clock of the test's own: which entries fire at which tick,
// once, across midnight, ranges, both changes of summer time in Europe/Warsaw, steps of the
// wall clock, the bus away and back, catch-up windows, a program that was not running, a pause.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>
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
    const QDateTime t = QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return t.toMSecsSinceEpoch();
}

struct Step {
    qint64 durationMs;     // how long the ticks run
    qint64 tickMs = 100;
    bool ready = true;
    qint64 jumpMs = 0;     // the wall clock stepped by this before the ticks (the monotonic clock not)
};

const char* kindName(PlanEventKind k)
{
    switch (k) {
    case PlanEventKind::Fired: return "fired";
    case PlanEventKind::Missed: return "missed";
    case PlanEventKind::CaughtUp: return "caught-up";
    case PlanEventKind::Deferred: return "deferred";
    case PlanEventKind::Restored: return "restored";
    case PlanEventKind::ClockStepped: return "step";
    }
    return "?";
}

// "TICK-TIME kind name" for each event, the tick's local time to the second.
std::vector<std::string> run(const Plan& plan, const char* startLocal, const std::vector<Step>& steps,
                             const char* sinceLocal = nullptr)
{
    PlanEngine engine;
    engine.setPlan(plan);
    qint64 wall = localMs(startLocal);
    qint64 mono = 1000000;
    std::vector<std::string> out;
    const auto note = [&](const std::vector<PlanEvent>& events) {
        for (const PlanEvent& e : events) {
            std::string line = QDateTime::fromMSecsSinceEpoch(wall).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
            line += std::string(" ") + kindName(e.kind);
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

using Lines = std::vector<std::string>;

TEST(PlanEngine, ZoneComesFromTz)
{
    ASSERT_TRUE(warsaw);
    EXPECT_EQ(QTimeZone::systemTimeZone().id(), QByteArray("Europe/Warsaw"));
}

TEST(PlanEngine, MidnightFiresInItsOwnSecondOnce)
{
    const Plan p = everyDay({entry("00:00:00", "Północ")});
    EXPECT_EQ(run(p, "2027-03-03 23:59:58.005", {{5000}}), Lines({"2027-03-04 00:00:00 fired Północ"}));
}

TEST(PlanEngine, WeekTemplateAndExceptionsChooseTheDayType)
{
    Plan p;
    p.dayTypes.push_back({QStringLiteral("Zwykły dzień"), {entry("08:00", "Lekcja 1")}});
    p.dayTypes.push_back({QStringLiteral("Skrócone lekcje"), {entry("08:00:05", "Skrócona 1")}});
    for (int d = 0; d < 5; ++d)
        p.week[static_cast<size_t>(d)] = QStringLiteral("Zwykły dzień");
    p.exceptions.push_back({date("2027-03-10"), date("2027-03-10"), QStringLiteral("Rada"), QStringLiteral("Skrócone lekcje")});
    p.exceptions.push_back({date("2027-03-11"), date("2027-03-12"), QStringLiteral("Święto"), QString()});
    // Tuesday 9 March to Monday 15 March, a tick a second.
    EXPECT_EQ(run(p, "2027-03-09 07:59:59.500", {{6 * 86400000LL + 2000, 1000}}),
              Lines({"2027-03-09 08:00:00 fired Lekcja 1", "2027-03-10 08:00:05 fired Skrócona 1",
                     "2027-03-15 08:00:00 fired Lekcja 1"}));
}

TEST(PlanEngine, FirstDayOfARangeAndWeekdayFilter)
{
    Plan p;
    PlanEntry weekend = entry("18:00", "I połowa");
    weekend.weekdays = 0x60;   // Saturday and Sunday only
    p.dayTypes.push_back({QStringLiteral("Mecz"), {entry("17:59:59", "Rozgrzewka"), weekend}});
    p.exceptions.push_back({date("2027-03-13"), date("2027-03-15"), QStringLiteral("Turniej"), QStringLiteral("Mecz")});
    // From Friday 12th: nothing that day, the range from Saturday; Monday has no "I połowa".
    EXPECT_EQ(run(p, "2027-03-12 17:00:00.250", {{4 * 86400000LL, 1000}}),
              Lines({"2027-03-13 17:59:59 fired Rozgrzewka", "2027-03-13 18:00:00 fired I połowa",
                     "2027-03-14 17:59:59 fired Rozgrzewka", "2027-03-14 18:00:00 fired I połowa",
                     "2027-03-15 17:59:59 fired Rozgrzewka"}));
}

TEST(PlanEngine, SkippedHourOfSummerTimeFiresAtTheJump)
{
    // 28 March 2027: 02:00 CET becomes 03:00 CEST.
    const Plan p = everyDay({entry("01:59:59", "Przed"), entry("02:30", "W luce"), entry("03:00:01", "Po")});
    EXPECT_EQ(run(p, "2027-03-28 01:59:58.005", {{5000}}),
              Lines({"2027-03-28 01:59:59 fired Przed", "2027-03-28 03:00:00 fired W luce",
                     "2027-03-28 03:00:01 fired Po"}));
}

TEST(PlanEngine, DoubledHourOfWinterTimeFiresOnce)
{
    // 31 October 2027: 03:00 CEST becomes 02:00 CET; 02:30 comes twice.
    const Plan p = everyDay({entry("02:30", "Nocna"), entry("03:10", "Po")});
    const Lines lines = run(p, "2027-10-31 01:59:59.500", {{2 * 3600000LL + 15 * 60000LL, 1000}});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2027-10-31 02:30:00 fired Nocna");
    EXPECT_EQ(lines[1], "2027-10-31 03:10:00 fired Po");
    // And it was the first 02:30, an hour before the second.
    PlanEngine engine;
    engine.setPlan(p);
    EXPECT_EQ(engine.instantOf(date("2027-10-31"), 2 * 3600 + 1800),
              QDateTime(date("2027-10-31"), QTime(0, 30), QTimeZone::utc()).toSecsSinceEpoch());
}

TEST(PlanEngine, ClockSteppedForwardSkipsTheSpanButCatchesUpWithinItsWindow)
{
    const Plan p = everyDay({entry("10:00:02", "Zwykły"), entry("10:00:30", "Pominięty"),
                             entry("10:00:40", "Nadrabiany", PlanAction::Start, 5), entry("10:20", "Później")});
    EXPECT_EQ(run(p, "2027-05-04 10:00:00.500", {{5000}, {5000, 100, true, 60000}}),
              Lines({"2027-05-04 10:00:02 fired Zwykły", "2027-05-04 10:01:05 step",
                     "2027-05-04 10:01:05 missed Pominięty", "2027-05-04 10:01:05 caught-up Nadrabiany"}));
}

TEST(PlanEngine, ClockSteppedBackFiresNothingTwice)
{
    const Plan p = everyDay({entry("10:00:02", "Raz"), entry("10:00:08", "Dalej")});
    EXPECT_EQ(run(p, "2027-05-04 10:00:00.500", {{5000}, {20000, 100, true, -10000}}),
              Lines({"2027-05-04 10:00:02 fired Raz", "2027-05-04 09:59:55 step", "2027-05-04 10:00:08 fired Dalej"}));
}

TEST(PlanEngine, BusAwayMissesCommandsKeepsSettingsAndCatchesUpInTheWindow)
{
    const Plan p = everyDay({entry("10:00:02", "Nadrabiany", PlanAction::Start, 1), entry("10:00:03", "Zwykły"),
                             entry("10:00:04", "Jasność", PlanAction::Brightness)});
    EXPECT_EQ(run(p, "2027-05-04 10:00:00.500", {{10000, 100, false}, {1000, 100, true}}),
              Lines({"2027-05-04 10:00:02 missed Nadrabiany (later)", "2027-05-04 10:00:03 missed Zwykły",
                     "2027-05-04 10:00:04 deferred Jasność", "2027-05-04 10:00:10 caught-up Nadrabiany",
                     "2027-05-04 10:00:10 restored Jasność"}));
    // Back after the window: not done at all.
    EXPECT_EQ(run(p, "2027-05-04 10:00:00.500", {{70000, 1000, false}, {1000, 100, true}}),
              Lines({"2027-05-04 10:00:02 missed Nadrabiany (later)", "2027-05-04 10:00:03 missed Zwykły",
                     "2027-05-04 10:00:04 deferred Jasność", "2027-05-04 10:01:03 missed Nadrabiany",
                     "2027-05-04 10:01:10 restored Jasność"}));
}

TEST(PlanEngine, WhatCameDueWhileNotRunningIsMissedNotFired)
{
    const Plan p = everyDay({entry("09:00", "Wczoraj?"), entry("10:01", "Dawno"),
                             entry("10:02", "Nadrabiany", PlanAction::Stop, 10), entry("10:05:01", "Teraz")});
    EXPECT_EQ(run(p, "2027-05-04 10:05:00.500", {{500, 100, false}, {1000, 100, true}}, "2027-05-04 09:30:00.000"),
              Lines({"2027-05-04 10:05:00 missed Dawno", "2027-05-04 10:05:00 missed Nadrabiany (later)",
                     "2027-05-04 10:05:01 fired Teraz", "2027-05-04 10:05:01 caught-up Nadrabiany"}));
}

TEST(PlanEngine, PausedOrSwitchedOffPlanFiresNothing)
{
    Plan p = everyDay({entry("08:00", "Lekcja")});
    p.pausedUntil = date("2027-03-05");
    EXPECT_EQ(run(p, "2027-03-03 07:59:59.500", {{2 * 86400000LL + 2000, 1000}}),
              Lines({"2027-03-05 08:00:00 fired Lekcja"}));
    p.enabled = false;
    EXPECT_TRUE(run(p, "2027-03-05 07:59:59.500", {{3000}}).empty());
    PlanEngine engine;
    engine.setPlan(p);
    EXPECT_TRUE(engine.next(localMs("2027-03-05 07:00:00.000") / 1000, 10).empty());
}

// "Następne" is the same engine: the next ten it lists are the ten it then fires.
TEST(PlanEngine, NextFiringsAreTheOnesThatFire)
{
    Plan p = everyDay({entry("23:59:59", "Koniec dnia"), entry("02:30", "Nocna"), entry("12:00", "Południe")});
    p.exceptions.push_back({date("2027-03-29"), date("2027-03-29"), QStringLiteral("Święto"), QString()});
    PlanEngine engine;
    engine.setPlan(p);
    const qint64 from = localMs("2027-03-27 12:00:00.500") / 1000;
    const std::vector<PlanFiring> next = engine.next(from, 10);
    ASSERT_EQ(next.size(), 10u);
    std::vector<qint64> fired;
    qint64 wall = from * 1000 + 500;
    qint64 mono = 0;
    engine.start(wall, mono, from, true);
    while (fired.size() < 10 && wall < (from + 10 * 86400) * 1000) {
        wall += 1000;
        mono += 1000;
        for (const PlanEvent& e : engine.advance(wall, mono, true))
            if (e.kind == PlanEventKind::Fired) {
                fired.push_back(e.firing.at);
                EXPECT_EQ(e.firing.at, wall / 1000) << "fired in the tick of its second";
            }
    }
    ASSERT_EQ(fired.size(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(next[i].at, fired[i]) << i;
    // The holiday's day has none, the day of the jump its 02:30 at 03:00.
    EXPECT_EQ(next[1].day, date("2027-03-28"));
    EXPECT_EQ(QDateTime::fromSecsSinceEpoch(next[1].at).time(), QTime(3, 0));
}

} // namespace

// The plan's file: a sound plan is written and read back the same; each bad file is named in
// one Polish sentence naming its first fault, the program gets no plan and the file stays as it
// was; a plan that is not sound is never written over a good one.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "plan/PlanFile.h"

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// A plan file whose one entry is `entry` (JSON members).
QByteArray withEntry(const char* entry)
{
    return QByteArray(R"({"format": "kadrel-harmonogram", "version": 1,
        "dayTypes": [{"name": "Zwykły dzień", "entries": [
            {"time": "08:00", "name": "Lekcja 1", "target": "W", "action": "start"},
            {)") + entry + R"(}]}],
        "week": ["Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "", ""]})";
}

Plan soundPlan()
{
    Plan p;
    PlanEntry a;
    a.hour = 7;
    a.minute = 55;
    a.name = QStringLiteral("Lekcja 1");
    a.action = PlanAction::Preset;
    a.minutes = 45 - 30;   // "15 m"
    a.target = 2;
    a.weekdays = 0x1f;
    PlanEntry b;
    b.hour = 8;
    b.second = 30;
    b.name = QStringLiteral("Przerwa");
    b.action = PlanAction::Set;
    b.minutes = 45;
    b.seconds = 5;
    b.catchUp = true;
    b.catchUpMinutes = 3;
    PlanEntry c;
    c.hour = 22;
    c.action = PlanAction::Display;
    c.value = 1;
    p.dayTypes.push_back({QStringLiteral("Zwykły dzień"), {a, b, c}});
    p.dayTypes.push_back({QStringLiteral("Mecz"), {}});
    p.week = {QStringLiteral("Zwykły dzień"), QStringLiteral("Zwykły dzień"), {}, {}, {}, QStringLiteral("Mecz"), {}};
    p.exceptions.push_back({QDate(2027, 1, 18), QDate(2027, 1, 31), QStringLiteral("Ferie zimowe"), {}});
    p.pausedUntil = QDate(2027, 1, 4);
    return p;
}

TEST(PlanFile, SoundPlanRoundTrips)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    ASSERT_EQ(savePlanFile(path, soundPlan()), QString());
    const PlanLoad load = loadPlanFile(path);
    ASSERT_TRUE(load.present) << load.damage.toStdString();
    EXPECT_EQ(planToJson(load.plan), planToJson(soundPlan()));
    EXPECT_EQ(load.plan.dayTypes[0].entries[1].secondOfDay(), 8 * 3600 + 30);
    EXPECT_EQ(load.plan.dayTypeOn(QDate(2027, 1, 19)), nullptr);          // holidays
    EXPECT_EQ(load.plan.dayTypeOn(QDate(2027, 2, 1))->name, QStringLiteral("Zwykły dzień"));
    EXPECT_EQ(load.plan.dayTypeOn(QDate(2027, 2, 6))->name, QStringLiteral("Mecz"));
}

TEST(PlanFile, MissingFileIsNoPlanAndNoFault)
{
    QTemporaryDir dir;
    const PlanLoad load = loadPlanFile(planFilePath(dir.path()));
    EXPECT_FALSE(load.present);
    EXPECT_TRUE(load.damage.isEmpty());
    EXPECT_TRUE(load.plan.dayTypes.empty());
}

struct BadFile {
    const char* name;
    QByteArray bytes;
    const char* says;   // a piece of the one sentence
};

class PlanFileRefused : public ::testing::TestWithParam<BadFile> {};

TEST_P(PlanFileRefused, NamedKeptAndNoPlan)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    writeAll(path, GetParam().bytes);
    const PlanLoad load = loadPlanFile(path);
    EXPECT_FALSE(load.present);
    EXPECT_TRUE(load.plan.dayTypes.empty());
    EXPECT_TRUE(load.damage.startsWith(QStringLiteral("Plik harmonogramu ") + path)) << load.damage.toStdString();
    EXPECT_TRUE(load.damage.contains(QString::fromUtf8(GetParam().says))) << load.damage.toStdString();
    EXPECT_EQ(load.damage.count(QLatin1Char('.')) - load.damage.count(QStringLiteral(".json")), 1)
        << "one sentence: " << load.damage.toStdString();
    EXPECT_EQ(readAll(path), GetParam().bytes) << "the file stays as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlanFileRefused,
    ::testing::Values(
        BadFile{"truncated", withEntry(R"("time": "09:00", "target": "W", "action": "stop")").left(120), "błąd składni JSON"},
        BadFile{"huge", QByteArray(PlanFileMaxBytes + 1, ' '), "za duży"},
        BadFile{"newer", R"({"format": "kadrel-harmonogram", "version": 2})", "nowszą wersję programu (wersja 2)"},
        BadFile{"stranger", R"({"format": "inny", "version": 1})", "to nie jest harmonogram"},
        BadFile{"hour24", withEntry(R"("time": "24:00", "name": "Przerwa", "target": "W", "action": "stop")"),
                "Typ dnia „Zwykły dzień”, wpis 2 („Przerwa”): godzina 24:00 nie istnieje"},
        BadFile{"minute60", withEntry(R"("time": "12:60", "target": "W", "action": "stop")"),
                "wpis 2: godzina 12:60 nie istnieje"},
        BadFile{"timeText", withEntry(R"("time": "8h15", "target": "W", "action": "stop")"),
                "czas „8h15” nie ma postaci GG:MM"},
        BadFile{"noDays", withEntry(R"("time": "09:00", "days": [], "target": "W", "action": "stop")"),
                "nie wybrano żadnego dnia tygodnia"},
        BadFile{"preset45", withEntry(R"("time": "09:00", "target": "W", "action": "preset", "minutes": 45)"),
                "nie ma czasu gotowego 45 m"},
        BadFile{"brightness", withEntry(R"("time": "09:00", "target": 1, "action": "brightness", "value": 4)"),
                "jasność 4 jest poza zakresem 0–3"},
        BadFile{"target0", withEntry(R"("time": "09:00", "target": 0, "action": "start")"), "zegar 0 nie istnieje"},
        BadFile{"target5", withEntry(R"("time": "09:00", "target": 5, "action": "start")"), "zegar 5 nie istnieje"},
        BadFile{"sameSecond", withEntry(R"("time": "08:00:00", "target": 2, "action": "stop")"),
                "w tej samej sekundzie co wpis 1"},
        BadFile{"overlap",
                R"({"format": "kadrel-harmonogram", "version": 1, "exceptions": [
                    {"name": "Ferie zimowe", "from": "2027-01-18", "to": "2027-01-31"},
                    {"name": "Święto", "from": "2027-01-31", "to": "2027-01-31"}]})",
                "Wyjątki „Ferie zimowe” i „Święto” nakładają się (2027-01-31)"},
        BadFile{"weekUnknown", R"({"format": "kadrel-harmonogram", "version": 1, "week": ["Brak"]})",
                "poniedziałek ma typ dnia „Brak”"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

TEST(PlanFile, FifoIsRefusedWithoutWaiting)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    ASSERT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    // No writer ever comes: a read that waited for one would hang here.
    const PlanLoad load = loadPlanFile(path);
    EXPECT_FALSE(load.present);
    EXPECT_TRUE(load.damage.contains(QStringLiteral("to nie jest zwykły plik"))) << load.damage.toStdString();
}

TEST(PlanFile, UnsoundPlanIsNotWrittenOverTheOldOne)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    ASSERT_EQ(savePlanFile(path, soundPlan()), QString());
    const QByteArray before = readAll(path);
    Plan bad = soundPlan();
    bad.dayTypes[0].entries[2].target = 5;
    EXPECT_TRUE(savePlanFile(path, bad).contains(QStringLiteral("wpis 3: zegar 5 nie istnieje")));
    EXPECT_EQ(readAll(path), before);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size() == 1) << "no temporary file left";
}

} // namespace

// The plan's file: a sound plan is written and read back the same; each bad file is named in
// one Polish sentence naming its first fault, the program gets no plan and the file stays as it
// was; a plan that is not sound is never written over a good one.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "plan/PlanFile.h"
#include "tests/support/PlanSamples.h"

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A plan file whose second entry is `entry` (JSON members).
QByteArray withEntry(const char* entry)
{
    return QByteArray(R"({"format": "kadrel-harmonogram", "version": 1,
        "dayTypes": [{"name": "Zwykły dzień", "entries": [
            {"time": "08:00", "name": "Lekcja 1", "target": "W", "action": "start"},
            {)") + entry + R"(}]}],
        "week": ["Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "", ""]})";
}

TEST(PlanFile, SoundPlanRoundTripsAndAMissingFileIsNoFault)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    const PlanLoad missing = loadPlanFile(path);
    EXPECT_FALSE(missing.present);
    EXPECT_TRUE(missing.damage.isEmpty());
    ASSERT_EQ(savePlanFile(path, schoolPlan()), QString());
    const PlanLoad load = loadPlanFile(path);
    ASSERT_TRUE(load.present) << load.damage.toStdString();
    EXPECT_EQ(planToJson(load.plan), planToJson(schoolPlan()));
    EXPECT_EQ(load.plan.dayTypes[1].entries[0].secondOfDay(), 18 * 3600 + 30);
}

struct BadFile {
    const char* name;
    QByteArray bytes;   // empty: a FIFO with no writer, which a read that waited would hang on
    const char* says;   // a piece of the one sentence
};

class PlanFileRefused : public ::testing::TestWithParam<BadFile> {};

TEST_P(PlanFileRefused, NamedKeptAndNoPlan)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    const bool fifo = GetParam().bytes.isEmpty();
    if (fifo) {
        ASSERT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(GetParam().bytes);
    }
    const PlanLoad load = loadPlanFile(path);
    EXPECT_FALSE(load.present);
    EXPECT_TRUE(load.plan.dayTypes.empty());
    EXPECT_TRUE(load.damage.startsWith(QStringLiteral("Plik harmonogramu ") + path)) << load.damage.toStdString();
    EXPECT_TRUE(load.damage.contains(QString::fromUtf8(GetParam().says))) << load.damage.toStdString();
    EXPECT_EQ(load.damage.count(QLatin1Char('.')) - load.damage.count(QStringLiteral(".json")), 1)
        << "one sentence: " << load.damage.toStdString();
    if (!fifo) {
        EXPECT_EQ(readAll(path), GetParam().bytes) << "the file stays as it was";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlanFileRefused,
    ::testing::Values(
        BadFile{"fifo", {}, "to nie jest zwykły plik"},
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
        BadFile{"nameWithALineBreak", withEntry(R"("time": "09:00", "name": "Lekcja\nfałszywy wiersz", "target": "W", "action": "stop")"),
                "wpis 2: nazwa zawiera znak sterujący"},
        BadFile{"dayTypesOfTheWrongKind", R"({"format": "kadrel-harmonogram", "version": 1, "dayTypes": {}})",
                "„dayTypes” nie jest listą"},
        BadFile{"enabledAsText", R"({"format": "kadrel-harmonogram", "version": 1, "enabled": "false"})",
                "„enabled” nie jest wartością true ani false"},
        BadFile{"weekUnknown", R"({"format": "kadrel-harmonogram", "version": 1, "week": ["Brak"]})",
                "poniedziałek ma typ dnia „Brak”"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

TEST(PlanFile, UnsoundPlanIsNotWrittenOverTheOldOne)
{
    QTemporaryDir dir;
    const QString path = planFilePath(dir.path());
    ASSERT_EQ(savePlanFile(path, schoolPlan()), QString());
    const QByteArray before = readAll(path);
    Plan bad = schoolPlan();
    bad.dayTypes[0].entries[2].target = 5;
    EXPECT_TRUE(savePlanFile(path, bad).contains(QStringLiteral("wpis 3: zegar 5 nie istnieje")));
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary file left";
}

} // namespace

// needs: qt
// "Harmonogram": the plan shown in tables edited in place; a bad cell refused at "Zapisz" with
// the entry it is in named, nothing saved; a good edit saved whole; "Następne" and the preview
// of a date are the engine's own firings; every control has a name for a screen reader.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QFile>

#include "dialogs/Harmonogram.h"
#include "plan/PlanEngine.h"
#include "plan/PlanFile.h"
#include "widgets/Seams.h"

namespace {

Plan schoolPlan()
{
    Plan p;
    QString why = planFromJson(R"({"format": "kadrel-harmonogram", "version": 1,
        "dayTypes": [{"name": "Zwykły dzień", "entries": [
            {"time": "07:55", "name": "Lekcja 1", "target": "W", "action": "preset", "minutes": 10},
            {"time": "08:00", "name": "Lekcja 1", "target": "W", "action": "start", "catchUpMinutes": 2},
            {"time": "22:00", "days": [1, 2, 3, 4, 5], "target": 2, "action": "display", "value": 1}]},
            {"name": "Mecz", "entries": [{"time": "18:00:30", "name": "I połowa", "target": 1, "action": "set", "minutes": 45, "seconds": 0}]}],
        "week": ["Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Mecz", ""],
        "exceptions": [{"name": "Ferie zimowe", "from": "2027-01-18", "to": "2027-01-31", "dayType": ""}]})",
                               p);
    EXPECT_EQ(why, QString());
    return p;
}

const qint64 Now = QDateTime(QDate(2027, 1, 15), QTime(12, 0)).toSecsSinceEpoch();   // a Friday

class PlanDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seams().showMessage = [this](MsgKind, const QString& text) { shown << text; };
        dialog = std::make_unique<TFHarmonogram>(
            schoolPlan(),
            [this](const Plan& p) {
                saved.push_back(p);
                return QString();
            },
            [] { return Now; });
    }
    void TearDown() override { resetSeams(); }

    void setCell(int row, int column, const char* text)
    {
        dialog->Wpisy->item(row, column)->setText(QString::fromUtf8(text));
    }

    std::unique_ptr<TFHarmonogram> dialog;
    std::vector<Plan> saved;
    QStringList shown;
};

TEST_F(PlanDialogTest, ShowsThePlanAndSavesItUnchanged)
{
    EXPECT_EQ(dialog->TypyDni->count(), 2);
    EXPECT_EQ(dialog->Wpisy->rowCount(), 3);
    EXPECT_EQ(dialog->Wpisy->item(0, 4)->text(), QStringLiteral("czas gotowy"));
    EXPECT_EQ(dialog->Wpisy->item(2, 2)->text(), QStringLiteral("12345"));
    EXPECT_EQ(dialog->Tydzien[5]->currentText(), QStringLiteral("Mecz"));
    EXPECT_EQ(dialog->Wyjatki->item(0, 2)->text(), QStringLiteral("Ferie zimowe"));
    dialog->Zapisz();
    ASSERT_EQ(saved.size(), 1u) << shown.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(planToJson(saved[0]), planToJson(schoolPlan()));
}

struct BadCell {
    const char* name;
    int row;
    int column;
    const char* text;
    const char* refusal;
};

class PlanDialogRefusal : public PlanDialogTest, public ::testing::WithParamInterface<BadCell> {};

TEST_P(PlanDialogRefusal, NamesTheEntryAndSavesNothing)
{
    const BadCell& c = GetParam();
    setCell(c.row, c.column, c.text);
    dialog->Zapisz();
    EXPECT_TRUE(saved.empty());
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(QString::fromUtf8(c.refusal))) << shown[0].toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlanDialogRefusal,
    ::testing::Values(BadCell{"hour24", 1, 0, "24:00", "Typ dnia „Zwykły dzień”, wpis 2 („Lekcja 1”): godzina 24:00 nie istnieje"},
                      BadCell{"minute60", 0, 0, "12:60", "wpis 1 („Lekcja 1”): godzina 12:60 nie istnieje"},
                      BadCell{"noDays", 2, 2, "", "wpis 3: nie wybrano żadnego dnia tygodnia"},
                      BadCell{"dayEight", 2, 2, "128", "dni tygodnia to cyfry od 1"},
                      BadCell{"preset45", 0, 5, "45", "nie ma czasu gotowego 45 m"},
                      BadCell{"brightness", 2, 4, "jasność", "wpis 3: jasność „wył” nie jest liczbą"},
                      BadCell{"target0", 1, 3, "0", "zegar „0” nie istnieje"},
                      BadCell{"target5", 1, 3, "5", "zegar „5” nie istnieje"},
                      BadCell{"action", 1, 4, "GO", "polecenie „GO” nie jest żadnym z"}),
    [](const ::testing::TestParamInfo<BadCell>& info) { return std::string(info.param.name); });

TEST_F(PlanDialogTest, BrightnessOutOfRangeAndOverlappingExceptionsAreRefused)
{
    setCell(2, 4, "jasność");
    setCell(2, 5, "7");
    dialog->Zapisz();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(QStringLiteral("jasność 7 jest poza zakresem 0–3"))) << shown[0].toStdString();
    setCell(2, 5, "1");
    dialog->DodajWyjatek->click();
    const QStringList texts{QStringLiteral("2027-01-31"), QStringLiteral("2027-02-01"), QStringLiteral("Święto"), QString()};
    for (int col = 0; col < 4; ++col)
        dialog->Wyjatki->item(1, col)->setText(texts[col]);
    dialog->Zapisz();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[1], QStringLiteral("Wyjątki „Ferie zimowe” i „Święto” nakładają się (2027-01-31)."));
    EXPECT_TRUE(saved.empty());
}

TEST_F(PlanDialogTest, EditedInPlaceAndSavedWhole)
{
    setCell(1, 5, "");
    setCell(1, 4, "STOP");
    dialog->Tydzien[6]->setCurrentText(QStringLiteral("Mecz"));
    dialog->TypyDni->setCurrentRow(1);
    EXPECT_EQ(dialog->Wpisy->item(0, 1)->text(), QStringLiteral("I połowa"));
    setCell(0, 5, "40:00");
    dialog->TypyDni->setCurrentRow(0);   // the edit of the other type stays
    dialog->Zapisz();
    ASSERT_EQ(saved.size(), 1u) << shown.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(saved[0].dayTypes[0].entries[1].action, PlanAction::Stop);
    EXPECT_EQ(saved[0].dayTypes[1].entries[0].minutes, 40);
    EXPECT_EQ(saved[0].week[6], QStringLiteral("Mecz"));
}

TEST_F(PlanDialogTest, NextAndPreviewAreTheEnginesFirings)
{
    PlanEngine engine;
    engine.setPlan(schoolPlan());
    const std::vector<PlanFiring> next = engine.next(Now, 10);
    ASSERT_EQ(dialog->Nastepne->count(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(dialog->Nastepne->item(i)->text().startsWith(next[static_cast<size_t>(i)].day.toString(Qt::ISODate)))
            << i;
    // Friday 22:00, then Saturday's match, then the holidays from Monday, their Saturdays too:
    // nothing until February.
    EXPECT_EQ(dialog->Nastepne->item(0)->text(), QStringLiteral("2027-01-15 22:00 — Wył tak 2 (Zwykły dzień)"));
    EXPECT_EQ(dialog->Nastepne->item(1)->text(), QStringLiteral("2027-01-16 18:00:30 I połowa — USTAW 45:00 1 (Mecz)"));
    EXPECT_EQ(dialog->Nastepne->item(2)->text(), QStringLiteral("2027-02-01 07:55 Lekcja 1 — 10 m W (Zwykły dzień)"));
    dialog->PodgladData->setDate(QDate(2027, 1, 20));
    EXPECT_EQ(dialog->PodgladTytul->text(), QStringLiteral("Co się stanie 2027-01-20?"));
    ASSERT_EQ(dialog->Podglad->count(), 1);
    EXPECT_EQ(dialog->Podglad->item(0)->text(), QStringLiteral("Nic"));
    dialog->PodgladData->setDate(QDate(2027, 2, 1));
    ASSERT_EQ(dialog->Podglad->count(), 3);
    EXPECT_EQ(dialog->Podglad->item(1)->text(), QStringLiteral("08:00 Lekcja 1 — START W (Zwykły dzień)"));
}

TEST_F(PlanDialogTest, EveryControlHasAName)
{
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
                             qobject_cast<QAbstractItemView*>(w) || qobject_cast<QDateEdit*>(w);
        if (control && !w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_"))) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
        }
    }
}

// A plan goes whole to a file of the same format and comes back from it, so one school can copy
// its plan to its other halls; a bad file is refused and leaves the tables as they were.
TEST_F(PlanDialogTest, ExportedAndImportedWhole)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("szkoła.json"));
    seams().choosePlanFile = [&](QWidget*, bool) { return path; };
    dialog->Eksportuj();
    ASSERT_TRUE(shown.isEmpty()) << shown.join(QLatin1Char('\n')).toStdString();
    Plan copied;
    ASSERT_EQ(readPlanFile(path, copied), QString());
    EXPECT_EQ(planToJson(copied), planToJson(schoolPlan()));

    TFHarmonogram other(Plan{}, [this](const Plan& p) { saved.push_back(p); return QString(); }, [] { return Now; });
    EXPECT_EQ(other.TypyDni->count(), 0);
    QFile bad(dir.filePath(QStringLiteral("zły.json")));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(R"({"format": "kadrel-harmonogram", "version": 1, "dayTypes": [{"name": "A", "entries": [
        {"time": "24:00", "target": "W", "action": "start"}]}]})");
    bad.close();
    seams().choosePlanFile = [&](QWidget*, bool) { return bad.fileName(); };
    other.Importuj();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0], QStringLiteral("Nie zaimportowano harmonogramu z pliku %1: Typ dnia „A”, wpis 1: godzina 24:00 "
                                       "nie istnieje (od 00:00 do 23:59:59).").arg(bad.fileName()));
    EXPECT_EQ(other.TypyDni->count(), 0);

    seams().choosePlanFile = [&](QWidget*, bool) { return path; };
    other.Importuj();
    EXPECT_EQ(other.TypyDni->count(), 2);
    EXPECT_EQ(other.Tydzien[5]->currentText(), QStringLiteral("Mecz"));
    EXPECT_TRUE(saved.empty()) << "imported, not yet saved";
    other.Zapisz();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(planToJson(saved[0]), planToJson(schoolPlan()));
}

} // namespace

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
#include "tests/support/PlanSamples.h"
#include "widgets/Seams.h"

namespace {

const qint64 Now = QDateTime(QDate(2027, 1, 15), QTime(12, 0)).toSecsSinceEpoch();   // a Friday

class PlanDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seams().showMessage = [this](MsgKind, const QString& text) { shown << text; };
        freshDialog();
    }
    void freshDialog()
    {
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
    EXPECT_EQ(dialog->Wpisy->item(0, 4)->text(), QStringLiteral("czas gotowy"));
    EXPECT_EQ(dialog->Wpisy->item(2, 2)->text(), QStringLiteral("12345"));
    dialog->Zapisz();
    ASSERT_EQ(saved.size(), 1u) << shown.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(planToJson(saved[0]), planToJson(schoolPlan()));
}

// The dialog's own reading of its cells, and one fault of the check it shares with the file
// (which test_plan_file goes through rule by rule): each names its entry and saves nothing.
TEST_F(PlanDialogTest, BadCellsAreRefusedNamingTheirEntry)
{
    const struct {
        const char* name;
        int row, column;   // the cell of Wpisy
        const char* text;
        const char* refusal;
    } cases[] = {
        {"hour 24", 1, 0, "24:00", "Typ dnia „Zwykły dzień”, wpis 2 („Lekcja 1”): godzina 24:00 nie istnieje"},
        {"no days", 2, 2, "", "wpis 3: nie wybrano żadnego dnia tygodnia"},
        {"day eight", 2, 2, "128", "dni tygodnia to cyfry od 1"},
        {"brightness as text", 2, 4, "jasność", "wpis 3: jasność „wył” nie jest liczbą"},
        {"clock 0", 1, 3, "0", "zegar „0” nie istnieje"},
        {"unknown action", 1, 4, "GO", "polecenie „GO” nie jest żadnym z"},
    };
    for (const auto& c : cases) {
        freshDialog();
        setCell(c.row, c.column, c.text);
        dialog->Zapisz();
        EXPECT_TRUE(saved.empty()) << c.name;
        ASSERT_EQ(shown.size(), 1) << c.name;
        EXPECT_TRUE(shown[0].contains(QString::fromUtf8(c.refusal))) << shown[0].toStdString();
        shown.clear();
    }
    // The exceptions' table goes through the same check.
    freshDialog();
    dialog->DodajWyjatek->click();
    const QStringList texts{QStringLiteral("2027-01-31"), QStringLiteral("2027-02-01"), QStringLiteral("Święto"), QString()};
    for (int col = 0; col < 4; ++col)
        dialog->Wyjatki->item(1, col)->setText(texts[col]);
    dialog->Zapisz();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0], QStringLiteral("Wyjątki „Ferie zimowe” i „Święto” nakładają się (2027-01-31)."));
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

    TFHarmonogram other(Plan{}, [this](const Plan& p) { saved.push_back(p); return QString(); }, [] { return Now; });
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
    EXPECT_TRUE(saved.empty()) << "imported, not yet saved";
    other.Zapisz();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(planToJson(saved[0]), planToJson(schoolPlan()));
}

// "Importuj święta (.ics)": each all-day event joins the exceptions, with nothing to fire; one
// the plan has already and one that would overlap are left out and named. A damaged file is
// named and changes nothing.
TEST_F(PlanDialogTest, HolidaysFromAnIcsFileJoinTheExceptions)
{
    QTemporaryDir dir;
    const auto file = [&](const char* name, const QByteArray& events) {
        QFile f(dir.filePath(QString::fromUtf8(name)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Szkoła//PL\r\n" + events + "END:VCALENDAR\r\n");
        return f.fileName();
    };
    const QString good = file("święta.ics", "BEGIN:VEVENT\r\nUID:1\r\nDTSTART;VALUE=DATE:20270118\r\nDTEND;VALUE=DATE:20270201\r\n"
                                            "SUMMARY:Ferie zimowe\r\nEND:VEVENT\r\n"
                                            "BEGIN:VEVENT\r\nUID:2\r\nDTSTART;VALUE=DATE:20270130\r\nDTEND;VALUE=DATE:20270204\r\n"
                                            "SUMMARY:Rekolekcje\r\nEND:VEVENT\r\n"
                                            "BEGIN:VEVENT\r\nUID:3\r\nDTSTART;VALUE=DATE:20270527\r\nSUMMARY:Boże Ciało\r\nEND:VEVENT\r\n"
                                            "BEGIN:VEVENT\r\nUID:4\r\nDTSTART:20270105T100000Z\r\nSUMMARY:Zebranie\r\nEND:VEVENT\r\n");
    const QString damaged = file("zły.ics", "BEGIN:VEVENT\r\nUID:1\r\nDTSTART;VALUE=DATE:20270527\r\nSUMMARY Boże Ciało\r\nEND:VEVENT\r\n");
    seams().chooseHolidayFile = [&](QWidget*) { return damaged; };
    dialog->ImportujSwieta->click();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("Nie zaimportowano świąt z pliku %1: plik jest uszkodzony").arg(damaged)))
        << shown[0].toStdString();
    EXPECT_EQ(dialog->Wyjatki->rowCount(), 1);

    seams().chooseHolidayFile = [&](QWidget*) { return good; };
    dialog->ImportujSwieta->click();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[1], QStringLiteral("Dodano wyjątków: 1 (z pliku %1). Już były w harmonogramie: 1. Pominięto, bo nakładają "
                                       "się na inne wyjątki: „Rekolekcje” (2027-01-30 – 2027-02-03). Wydarzeń z godziną nie "
                                       "brano: 1. „Zapisz” zachowa je w harmonogramie.")
                            .arg(good));
    dialog->PodgladData->setDate(QDate(2027, 5, 27));   // a Thursday, a school day but for the holiday
    ASSERT_EQ(dialog->Podglad->count(), 1);
    EXPECT_EQ(dialog->Podglad->item(0)->text(), QStringLiteral("Nic"));
    dialog->Zapisz();
    ASSERT_EQ(saved.size(), 1u) << shown.join(QLatin1Char('\n')).toStdString();
    ASSERT_EQ(saved[0].exceptions.size(), 2u);
    EXPECT_EQ(saved[0].exceptions[1].name, QStringLiteral("Boże Ciało"));
    EXPECT_EQ(saved[0].exceptions[1].from, QDate(2027, 5, 27));
    EXPECT_TRUE(saved[0].exceptions[1].dayType.isEmpty());
}

} // namespace

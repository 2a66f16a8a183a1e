#pragma once
// "Harmonogram": the plan of timed commands edited in place. The day types and their entries as
// tables, the week's day types, the exceptions, the next ten firings and any date's firings, all
// worked out by the engine that fires them. "Zapisz" refuses a plan that is not sound, naming its
// first fault, and otherwise hands it to the caller, who writes it and runs it.
#include <QDialog>
#include <array>
#include <functional>

#include "plan/Plan.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;

class TFHarmonogram : public QDialog {
    Q_OBJECT
public:
    // save: writes and applies the plan; returns empty or why it could not (Polish).
    // now: the wall clock in seconds since the epoch, where "Następne" starts.
    TFHarmonogram(const Plan& plan, std::function<QString(const Plan&)> save, std::function<qint64()> now,
                  QWidget* parent = nullptr);

    // The plan as the controls hold it, or the first fault of their texts (then plan is untouched).
    QString readPlan(Plan& plan) const;
    void Zapisz();               // "Zapisz"
    void Odswiez();              // "Następne" and the preview again
    void Eksportuj();            // "Eksportuj plan…": the plan as the controls hold it, to a file of one's choice
    void Importuj();             // "Importuj plan…": a plan from such a file into the controls (saved by "Zapisz")
    void ImportujSwietaClick();  // "Importuj święta (.ics)": the file's all-day events as exceptions
    QString lastRefusal() const { return refusal_; }

    QCheckBox* Wlaczony = nullptr;       // "Harmonogram włączony"
    QCheckBox* Wstrzymaj = nullptr;      // "Wstrzymaj do"
    QDateEdit* WstrzymajDo = nullptr;
    QListWidget* TypyDni = nullptr;      // the day types' names, edited in place
    QTableWidget* Wpisy = nullptr;       // the selected day type's entries
    std::array<QComboBox*, 7> Tydzien{}; // Monday .. Sunday
    QTableWidget* Wyjatki = nullptr;     // from, to, name, day type
    QListWidget* Nastepne = nullptr;
    QDateEdit* PodgladData = nullptr;
    QLabel* PodgladTytul = nullptr;      // "Co się stanie 2027-03-28?"
    QListWidget* Podglad = nullptr;
    QPushButton* DodajTyp = nullptr;
    QPushButton* UsunTyp = nullptr;
    QPushButton* DodajWpis = nullptr;
    QPushButton* UsunWpis = nullptr;
    QPushButton* DodajWyjatek = nullptr;
    QPushButton* UsunWyjatek = nullptr;
    QPushButton* ImportujSwieta = nullptr;
    QPushButton* ZapiszButton = nullptr;
    QPushButton* EksportujButton = nullptr;
    QPushButton* ImportujButton = nullptr;

private:
    PlanFault read(Plan& plan) const;
    void showEntry(const PlanFault& fault);
    void showPlan(const Plan& plan);
    void showDayType(int row);
    void keepEntries();          // the table's rows back into the day type they show
    void fillWeekChoices();
    void addEntryRow(const PlanEntry& e);
    void addExceptionRow(const PlanException& x);

    std::function<QString(const Plan&)> save_;
    std::function<qint64()> now_;
    // Each day type's entries as table texts, by the list's row.
    std::vector<std::vector<QStringList>> rows_;
    int shown_ = -1;
    QString refusal_;
};

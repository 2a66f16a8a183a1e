#include "dialogs/Harmonogram.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QSignalBlocker>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

#include "plan/PlanEngine.h"
#include "plan/PlanFile.h"
#include "plan/PlanHolidays.h"
#include "widgets/Seams.h"

namespace {

enum Column { Time, Name, Days, Target, Action, Value, CatchUp, Columns };

const char* const ActionTexts[] = {"czas gotowy", "USTAW", "START", "STOP", "ZERUJ",
                                   "tryb", "jasność", "wyświetlacz", "kierunek"};
const char* const DayNames[] = {"Poniedziałek", "Wtorek", "Środa", "Czwartek", "Piątek", "Sobota", "Niedziela"};
const QString NoDayType = QStringLiteral("(nic)");

QString two(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QStringList entryTexts(const PlanEntry& e)
{
    QStringList t;
    for (int c = 0; c < Columns; ++c)
        t << QString();
    t[Time] = two(e.hour) + QLatin1Char(':') + two(e.minute) + (e.second ? QLatin1Char(':') + two(e.second) : QString());
    t[Name] = e.name;
    for (int d = 1; d <= 7; ++d)
        if (e.runsOn(d))
            t[Days] += QString::number(d);
    t[Target] = e.target == 0 ? QStringLiteral("W") : QString::number(e.target);
    t[Action] = QString::fromUtf8(ActionTexts[static_cast<int>(e.action)]);
    switch (e.action) {
    case PlanAction::Preset: t[Value] = QString::number(e.minutes); break;
    case PlanAction::Set: t[Value] = two(e.minutes) + QLatin1Char(':') + two(e.seconds); break;
    case PlanAction::Mode: t[Value] = e.value ? QStringLiteral("RTC") : QStringLiteral("Stoper"); break;
    case PlanAction::Brightness: t[Value] = QString::number(e.value); break;
    case PlanAction::Display: t[Value] = e.value ? QStringLiteral("wył") : QStringLiteral("wł"); break;
    case PlanAction::Direction: t[Value] = e.value ? QStringLiteral("w dół") : QStringLiteral("w górę"); break;
    default: break;
    }
    t[CatchUp] = e.catchUp ? QString::number(e.catchUpMinutes) : QString();
    return t;
}

// The texts of one row as an entry; the ranges are validatePlan's, the forms are checked here.
QString readEntry(const QStringList& t, PlanEntry& e)
{
    static const QRegularExpression time(QStringLiteral("^(\\d{1,2}):(\\d\\d)(?::(\\d\\d))?$"));
    const QRegularExpressionMatch m = time.match(t[Time].trimmed());
    if (!m.hasMatch())
        return QStringLiteral("godzina „%1” nie ma postaci GG:MM ani GG:MM:SS").arg(t[Time]);
    e.hour = m.captured(1).toInt();
    e.minute = m.captured(2).toInt();
    e.second = m.captured(3).toInt();
    e.name = t[Name].trimmed();
    e.weekdays = 0;
    for (const QChar c : t[Days]) {
        if (c.isSpace() || c == QLatin1Char(','))
            continue;
        if (c < QLatin1Char('1') || c > QLatin1Char('7'))
            return QStringLiteral("dni tygodnia to cyfry od 1 (poniedziałek) do 7 (niedziela), a nie „%1”").arg(t[Days]);
        e.weekdays |= 1u << (c.digitValue() - 1);
    }
    const QString target = t[Target].trimmed().toUpper();
    bool ok = false;
    const int clock = target.toInt(&ok);
    if (target == QLatin1String("W"))
        e.target = 0;
    else if (ok && clock >= 1 && clock <= 4)
        e.target = clock;
    else
        return QStringLiteral("zegar „%1” nie istnieje (W albo zegar 1–4)").arg(t[Target]);
    int action = -1;
    for (int a = 0; a < static_cast<int>(std::size(ActionTexts)); ++a)
        if (t[Action].trimmed().compare(QString::fromUtf8(ActionTexts[a]), Qt::CaseInsensitive) == 0)
            action = a;
    if (action < 0) {
        QStringList known;
        for (const char* a : ActionTexts)
            known << QString::fromUtf8(a);
        return QStringLiteral("polecenie „%1” nie jest żadnym z: %2").arg(t[Action], known.join(QStringLiteral(", ")));
    }
    e.action = static_cast<PlanAction>(action);
    const QString v = t[Value].trimmed().toLower();
    const auto choice = [&](const char* one, const char* zero) {
        if (v == QString::fromUtf8(one).toLower())
            e.value = 1;
        else if (v == QString::fromUtf8(zero).toLower())
            e.value = 0;
        else
            return QStringLiteral("wartość „%1” nie jest ani „%2”, ani „%3”")
                .arg(t[Value], QString::fromUtf8(one), QString::fromUtf8(zero));
        return QString();
    };
    switch (e.action) {
    case PlanAction::Preset:
        e.minutes = v.toInt(&ok);
        if (!ok)
            return QStringLiteral("czas gotowy „%1” nie jest liczbą minut").arg(t[Value]);
        break;
    case PlanAction::Set: {
        static const QRegularExpression mmss(QStringLiteral("^(\\d{1,2}):(\\d{1,2})$"));
        const QRegularExpressionMatch s = mmss.match(v);
        if (!s.hasMatch())
            return QStringLiteral("USTAW potrzebuje minut i sekund (MM:SS), a nie „%1”").arg(t[Value]);
        e.minutes = s.captured(1).toInt();
        e.seconds = s.captured(2).toInt();
        break;
    }
    case PlanAction::Mode: return choice("RTC", "Stoper");
    case PlanAction::Display: return choice("wył", "wł");
    case PlanAction::Direction: return choice("w dół", "w górę");
    case PlanAction::Brightness:
        e.value = v.toInt(&ok);
        if (!ok)
            return QStringLiteral("jasność „%1” nie jest liczbą 0–3").arg(t[Value]);
        break;
    default: break;
    }
    e.catchUp = !t[CatchUp].trimmed().isEmpty();
    if (e.catchUp) {
        e.catchUpMinutes = t[CatchUp].trimmed().toInt(&ok);
        if (!ok)
            return QStringLiteral("okno nadrabiania „%1” nie jest liczbą minut").arg(t[CatchUp]);
    }
    return {};
}

QString firingLine(const PlanFiring& f, bool withDate)
{
    QString line = withDate ? f.day.toString(Qt::ISODate) + QLatin1Char(' ') : QString();
    line += entryTimeText(f.entry);
    if (!f.entry.name.isEmpty())
        line += QLatin1Char(' ') + f.entry.name;
    return line + QStringLiteral(" — ") + describeAction(f.entry) + QStringLiteral(" (%1)").arg(f.dayType);
}

QPushButton* button(const QString& caption, const char* object, const QString& name, QWidget* parent)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(object));
    b->setAccessibleName(name);
    return b;
}

// A table's "Dodaj …" and "Usuń …" in a row of their own under it, the rest of the row free.
QHBoxLayout* addRemoveRow(QPushButton*& add, QPushButton*& remove, const char* what, const char* name,
                          const char* listName, QWidget* parent)
{
    auto* row = new QHBoxLayout;
    const QString w = QString::fromUtf8(what), n = QLatin1String(name), list = QString::fromUtf8(listName);
    add = button(QStringLiteral("Dodaj %1").arg(w), qPrintable(QStringLiteral("Dodaj") + n),
                 QStringLiteral("%1: dodaj").arg(list), parent);
    remove = button(QStringLiteral("Usuń %1").arg(w), qPrintable(QStringLiteral("Usun") + n),
                    QStringLiteral("%1: usuń").arg(list), parent);
    row->addWidget(add);
    row->addWidget(remove);
    row->addStretch(1);
    return row;
}

} // namespace

TFHarmonogram::TFHarmonogram(const Plan& plan, std::function<QString(const Plan&)> save, std::function<qint64()> now,
                             QWidget* parent)
    : QDialog(parent), save_(std::move(save)), now_(std::move(now))
{
    setObjectName(QStringLiteral("FHarmonogram"));
    setWindowTitle(QStringLiteral("Harmonogram"));
    auto* column = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    Wlaczony = new QCheckBox(QStringLiteral("Harmonogram &włączony"), this);
    Wlaczony->setObjectName(QStringLiteral("Wlaczony"));
    Wlaczony->setAccessibleName(QStringLiteral("Harmonogram włączony"));
    Wstrzymaj = new QCheckBox(QStringLiteral("Wstrzymaj &do"), this);
    Wstrzymaj->setObjectName(QStringLiteral("Wstrzymaj"));
    Wstrzymaj->setAccessibleName(QStringLiteral("Harmonogram: wstrzymaj do daty"));
    WstrzymajDo = new QDateEdit(QDate::currentDate(), this);
    WstrzymajDo->setObjectName(QStringLiteral("WstrzymajDo"));
    WstrzymajDo->setAccessibleName(QStringLiteral("Harmonogram: data końca wstrzymania"));
    WstrzymajDo->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    WstrzymajDo->setCalendarPopup(true);
    top->addWidget(Wlaczony);
    top->addStretch(1);
    top->addWidget(Wstrzymaj);
    top->addWidget(WstrzymajDo);
    column->addLayout(top);

    // Day types and their entries.
    auto* types = new QGroupBox(QStringLiteral("Typy dni i ich wpisy"), this);
    auto* typesRow = new QHBoxLayout(types);
    auto* typesColumn = new QVBoxLayout;
    TypyDni = new QListWidget(types);
    TypyDni->setObjectName(QStringLiteral("TypyDni"));
    TypyDni->setAccessibleName(QStringLiteral("Typy dni"));
    DodajTyp = button(QStringLiteral("Dodaj typ"), "DodajTyp", QStringLiteral("Typy dni: dodaj"), types);
    UsunTyp = button(QStringLiteral("Usuń typ"), "UsunTyp", QStringLiteral("Typy dni: usuń"), types);
    typesColumn->addWidget(TypyDni, 1);
    typesColumn->addWidget(DodajTyp);
    typesColumn->addWidget(UsunTyp);
    auto* entriesColumn = new QVBoxLayout;
    Wpisy = new QTableWidget(0, Columns, types);
    Wpisy->setObjectName(QStringLiteral("Wpisy"));
    Wpisy->setAccessibleName(QStringLiteral("Wpisy typu dnia"));
    Wpisy->setHorizontalHeaderLabels({QStringLiteral("Godzina"), QStringLiteral("Nazwa"), QStringLiteral("Dni (1–7)"),
                                      QStringLiteral("Zegar"), QStringLiteral("Polecenie"), QStringLiteral("Wartość"),
                                      QStringLiteral("Nadrabiaj (min)")});
    Wpisy->horizontalHeader()->setStretchLastSection(true);
    Wpisy->setToolTip(QStringLiteral("Polecenia: czas gotowy, USTAW, START, STOP, ZERUJ, tryb, jasność, wyświetlacz, "
                                     "kierunek. Dni: 1 poniedziałek … 7 niedziela. Zegar: W albo 1–4."));
    entriesColumn->addWidget(Wpisy, 1);
    entriesColumn->addLayout(addRemoveRow(DodajWpis, UsunWpis, "wpis", "Wpis", "Wpisy", types));
    typesRow->addLayout(typesColumn, 1);
    typesRow->addLayout(entriesColumn, 4);
    column->addWidget(types, 3);  // the entries are what the dialog is for

    // The week and the exceptions.
    auto* lower = new QHBoxLayout;
    auto* week = new QGroupBox(QStringLiteral("Tydzień"), this);
    auto* weekGrid = new QGridLayout(week);
    for (size_t d = 0; d < 7; ++d) {
        auto* label = new QLabel(QString::fromUtf8(DayNames[d]), week);
        Tydzien[d] = new QComboBox(week);
        Tydzien[d]->setObjectName(QStringLiteral("Tydzien%1").arg(d + 1));
        Tydzien[d]->setAccessibleName(QStringLiteral("Tydzień: %1").arg(QString::fromUtf8(DayNames[d])));
        label->setBuddy(Tydzien[d]);
        weekGrid->addWidget(label, static_cast<int>(d), 0);
        weekGrid->addWidget(Tydzien[d], static_cast<int>(d), 1);
    }
    lower->addWidget(week);

    auto* exceptions = new QGroupBox(QStringLiteral("Wyjątki"), this);
    auto* exceptionsColumn = new QVBoxLayout(exceptions);
    Wyjatki = new QTableWidget(0, 4, exceptions);
    Wyjatki->setObjectName(QStringLiteral("Wyjatki"));
    Wyjatki->setAccessibleName(QStringLiteral("Wyjątki: zakresy dat"));
    Wyjatki->setHorizontalHeaderLabels(
        {QStringLiteral("Od"), QStringLiteral("Do"), QStringLiteral("Nazwa"), QStringLiteral("Typ dnia (pusty: nic)")});
    Wyjatki->horizontalHeader()->setStretchLastSection(true);
    QHBoxLayout* exceptionButtons =
        addRemoveRow(DodajWyjatek, UsunWyjatek, "wyjątek", "Wyjatek", "Wyjątki", exceptions);
    ImportujSwieta = button(QStringLiteral("Importuj święta (.ics)"), "ImportujSwieta",
                            QStringLiteral("Wyjątki: importuj święta z pliku iCalendar"), exceptions);
    exceptionButtons->addWidget(ImportujSwieta);
    exceptionsColumn->addWidget(Wyjatki, 1);
    exceptionsColumn->addLayout(exceptionButtons);
    lower->addWidget(exceptions, 1);
    column->addLayout(lower, 2);

    // What the engine makes of it.
    auto* views = new QHBoxLayout;
    auto* nextBox = new QGroupBox(QStringLiteral("Następne"), this);
    auto* nextColumn = new QVBoxLayout(nextBox);
    Nastepne = new QListWidget(nextBox);
    Nastepne->setObjectName(QStringLiteral("Nastepne"));
    Nastepne->setAccessibleName(QStringLiteral("Następne: dziesięć najbliższych poleceń"));
    nextColumn->addWidget(Nastepne);
    views->addWidget(nextBox, 1);
    auto* previewBox = new QGroupBox(QStringLiteral("Podgląd dnia"), this);
    auto* previewColumn = new QVBoxLayout(previewBox);
    PodgladData = new QDateEdit(QDate::currentDate(), previewBox);
    PodgladData->setObjectName(QStringLiteral("PodgladData"));
    PodgladData->setAccessibleName(QStringLiteral("Podgląd dnia: data"));
    PodgladData->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    PodgladData->setCalendarPopup(true);
    PodgladTytul = new QLabel(previewBox);
    PodgladTytul->setObjectName(QStringLiteral("PodgladTytul"));
    Podglad = new QListWidget(previewBox);
    Podglad->setObjectName(QStringLiteral("Podglad"));
    Podglad->setAccessibleName(QStringLiteral("Podgląd dnia: polecenia"));
    previewColumn->addWidget(PodgladData);
    previewColumn->addWidget(PodgladTytul);
    previewColumn->addWidget(Podglad, 1);
    views->addWidget(previewBox, 1);
    column->addLayout(views, 2);

    auto* buttons = new QDialogButtonBox(this);
    ZapiszButton = buttons->addButton(QStringLiteral("&Zapisz"), QDialogButtonBox::AcceptRole);
    ZapiszButton->setObjectName(QStringLiteral("Zapisz"));
    ZapiszButton->setAccessibleName(QStringLiteral("Harmonogram: zapisz"));
    EksportujButton = buttons->addButton(QStringLiteral("&Eksportuj plan…"), QDialogButtonBox::ActionRole);
    EksportujButton->setObjectName(QStringLiteral("Eksportuj"));
    EksportujButton->setAccessibleName(QStringLiteral("Harmonogram: eksportuj do pliku"));
    ImportujButton = buttons->addButton(QStringLiteral("&Importuj plan…"), QDialogButtonBox::ActionRole);
    ImportujButton->setObjectName(QStringLiteral("Importuj"));
    ImportujButton->setAccessibleName(QStringLiteral("Harmonogram: importuj z pliku"));
    QPushButton* close = buttons->addButton(QStringLiteral("Za&mknij"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("Zamknij"));
    close->setAccessibleName(QStringLiteral("Harmonogram: zamknij"));
    column->addWidget(buttons);

    connect(TypyDni, &QListWidget::currentRowChanged, this, [this](int row) { showDayType(row); });
    connect(TypyDni, &QListWidget::itemChanged, this, [this] { fillWeekChoices(); });
    connect(DodajTyp, &QPushButton::clicked, this, [this] {
        auto* item = new QListWidgetItem(QStringLiteral("Nowy typ dnia %1").arg(TypyDni->count() + 1), TypyDni);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        rows_.emplace_back();
        fillWeekChoices();
        TypyDni->setCurrentItem(item);
    });
    connect(UsunTyp, &QPushButton::clicked, this, [this] {
        const int row = TypyDni->currentRow();
        if (row < 0)
            return;
        shown_ = -1;
        rows_.erase(rows_.begin() + row);
        delete TypyDni->takeItem(row);
        fillWeekChoices();
        showDayType(TypyDni->currentRow());
    });
    connect(DodajWpis, &QPushButton::clicked, this, [this] {
        if (shown_ < 0)
            return;
        PlanEntry e;
        e.hour = 8;
        addEntryRow(e);
    });
    connect(UsunWpis, &QPushButton::clicked, this, [this] {
        if (Wpisy->currentRow() >= 0)
            Wpisy->removeRow(Wpisy->currentRow());
    });
    connect(DodajWyjatek, &QPushButton::clicked, this, [this] {
        const QDate today = QDate::currentDate();
        addExceptionRow({today, today, QStringLiteral("Święto"), QString()});
    });
    connect(UsunWyjatek, &QPushButton::clicked, this, [this] {
        if (Wyjatki->currentRow() >= 0)
            Wyjatki->removeRow(Wyjatki->currentRow());
    });
    connect(PodgladData, &QDateEdit::dateChanged, this, [this] { Odswiez(); });
    connect(ZapiszButton, &QPushButton::clicked, this, [this] { Zapisz(); });
    connect(EksportujButton, &QPushButton::clicked, this, [this] { Eksportuj(); });
    connect(ImportujButton, &QPushButton::clicked, this, [this] { Importuj(); });
    connect(ImportujSwieta, &QPushButton::clicked, this, [this] { ImportujSwietaClick(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    showPlan(plan);
    // Room for a school day's entries and every column without scrolling sideways.
    resize(std::max(sizeHint().width(), 1000), 760);
}

void TFHarmonogram::showPlan(const Plan& plan)
{
    shown_ = -1;
    rows_.clear();
    TypyDni->clear();
    Wpisy->setRowCount(0);
    Wlaczony->setChecked(plan.enabled);
    Wstrzymaj->setChecked(plan.pausedUntil.isValid());
    if (plan.pausedUntil.isValid())
        WstrzymajDo->setDate(plan.pausedUntil);
    {
        const QSignalBlocker quiet(TypyDni);   // the week's choices are filled once, below
        for (const DayType& d : plan.dayTypes) {
            auto* item = new QListWidgetItem(d.name, TypyDni);
            item->setFlags(item->flags() | Qt::ItemIsEditable);
            std::vector<QStringList> texts;
            for (const PlanEntry& e : d.entries)
                texts.push_back(entryTexts(e));
            rows_.push_back(std::move(texts));
        }
    }
    fillWeekChoices();
    for (size_t d = 0; d < 7; ++d)
        Tydzien[d]->setCurrentText(plan.week[d].isEmpty() ? NoDayType : plan.week[d]);
    Wyjatki->setRowCount(0);
    for (const PlanException& x : plan.exceptions)
        addExceptionRow(x);
    if (TypyDni->count() > 0)
        TypyDni->setCurrentRow(0);
    Odswiez();
}

namespace {

QString choosePlanFile(QWidget* parent, bool forSaving)
{
    if (seams().choosePlanFile)
        return seams().choosePlanFile(parent, forSaving);
    const QString filter = QStringLiteral("Harmonogram (*.json)");
    return forSaving ? QFileDialog::getSaveFileName(parent, QStringLiteral("Eksportuj harmonogram"),
                                                    QStringLiteral("harmonogram.json"), filter)
                     : QFileDialog::getOpenFileName(parent, QStringLiteral("Importuj harmonogram"), QString(), filter);
}

} // namespace

void TFHarmonogram::Eksportuj()
{
    Plan plan;
    if (const QString why = readPlan(plan); !why.isEmpty()) {
        ShowMessage(MsgKind::Error, why);
        return;
    }
    const QString path = choosePlanFile(this, true);
    if (path.isEmpty())
        return;
    if (const QString why = savePlanFile(path, plan); !why.isEmpty())
        ShowMessage(MsgKind::Error, why);
}

void TFHarmonogram::Importuj()
{
    const QString path = choosePlanFile(this, false);
    if (path.isEmpty())
        return;
    Plan plan;
    if (const QString why = readPlanFile(path, plan); !why.isEmpty()) {
        QString reason = why;
        while (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        ShowMessage(MsgKind::Error, QStringLiteral("Nie zaimportowano harmonogramu z pliku %1: %2.").arg(path, reason));
        return;
    }
    showPlan(plan);
}

namespace {

void appendRow(QTableWidget* table, const QStringList& texts)
{
    const int r = table->rowCount();
    table->insertRow(r);
    for (int c = 0; c < table->columnCount(); ++c)
        table->setItem(r, c, new QTableWidgetItem(texts.value(c)));
}

}  // namespace

namespace {

QString chooseHolidayFile(QWidget* parent)
{
    if (seams().chooseHolidayFile)
        return seams().chooseHolidayFile(parent);
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Importuj święta"), QString(),
                                        QStringLiteral("Kalendarz iCalendar (*.ics);;Wszystkie pliki (*)"));
}

QString rangeText(const PlanException& x)
{
    const QString from = x.from.toString(Qt::ISODate);
    return x.to == x.from ? from : from + QStringLiteral(" – ") + x.to.toString(Qt::ISODate);
}

}  // namespace

// Each all-day event of the file becomes an exception with nothing to fire, beside those the
// table holds; "Zapisz" keeps them.
void TFHarmonogram::ImportujSwietaClick()
{
    const QString path = chooseHolidayFile(this);
    if (path.isEmpty())
        return;
    const HolidayImport read = readHolidayFile(path, QDate::currentDate());
    if (!read.fault.isEmpty()) {
        ShowMessage(MsgKind::Error, QStringLiteral("Nie zaimportowano świąt z pliku %1: %2.").arg(path, read.fault));
        return;
    }
    std::vector<PlanException> existing;
    for (int r = 0; r < Wyjatki->rowCount(); ++r) {
        const auto text = [&](int c) {
            return Wyjatki->item(r, c) ? Wyjatki->item(r, c)->text().trimmed() : QString();
        };
        PlanException x{QDate::fromString(text(0), Qt::ISODate), QDate::fromString(text(1), Qt::ISODate), text(2), {}};
        if (!x.to.isValid())
            x.to = x.from;
        if (x.from.isValid())
            existing.push_back(x);
    }
    const HolidayMerge merged = mergeHolidays(existing, read.holidays);
    for (const PlanException& x : merged.added)
        addExceptionRow(x);
    QString report = QStringLiteral("Dodano wyjątków: %1 (z pliku %2).").arg(merged.added.size()).arg(path);
    if (merged.alreadyThere > 0)
        report += QStringLiteral(" Już były w harmonogramie: %1.").arg(merged.alreadyThere);
    if (!merged.overlapping.empty()) {
        QStringList names;
        for (const PlanException& x : merged.overlapping)
            names << QStringLiteral("„%1” (%2)").arg(x.name, rangeText(x));
        report +=
            QStringLiteral(" Pominięto, bo nakładają się na inne wyjątki: %1.").arg(names.join(QStringLiteral(", ")));
    }
    if (read.timed > 0)
        report += QStringLiteral(" Wydarzeń z godziną nie brano: %1.").arg(read.timed);
    if (!merged.added.empty())
        report += QStringLiteral(" „Zapisz” zachowa je w harmonogramie.");
    ShowMessage(MsgKind::Information, report);
    Odswiez();
}

void TFHarmonogram::addEntryRow(const PlanEntry& e)
{
    appendRow(Wpisy, entryTexts(e));
}

void TFHarmonogram::addExceptionRow(const PlanException& x)
{
    appendRow(Wyjatki, {x.from.toString(Qt::ISODate), x.to.toString(Qt::ISODate), x.name, x.dayType});
}

void TFHarmonogram::keepEntries()
{
    if (shown_ < 0 || shown_ >= static_cast<int>(rows_.size()))
        return;
    std::vector<QStringList> texts;
    for (int r = 0; r < Wpisy->rowCount(); ++r) {
        QStringList t;
        for (int c = 0; c < Columns; ++c)
            t << (Wpisy->item(r, c) ? Wpisy->item(r, c)->text() : QString());
        texts.push_back(t);
    }
    rows_[static_cast<size_t>(shown_)] = std::move(texts);
}

void TFHarmonogram::showDayType(int row)
{
    keepEntries();
    shown_ = row;
    Wpisy->setRowCount(0);
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return;
    for (const QStringList& t : rows_[static_cast<size_t>(row)])
        appendRow(Wpisy, t);
}

void TFHarmonogram::fillWeekChoices()
{
    for (QComboBox* box : Tydzien) {
        if (!box)
            continue;
        const QString was = box->currentText();
        box->clear();
        box->addItem(NoDayType);
        for (int i = 0; i < TypyDni->count(); ++i)
            box->addItem(TypyDni->item(i)->text());
        box->setCurrentText(was.isEmpty() ? NoDayType : was);
    }
}

QString TFHarmonogram::readPlan(Plan& plan) const
{
    return read(plan).message;
}

PlanFault TFHarmonogram::read(Plan& out) const
{
    const_cast<TFHarmonogram*>(this)->keepEntries();
    Plan plan;
    plan.enabled = Wlaczony->isChecked();
    if (Wstrzymaj->isChecked())
        plan.pausedUntil = WstrzymajDo->date();
    for (int i = 0; i < TypyDni->count(); ++i) {
        DayType d;
        d.name = TypyDni->item(i)->text().trimmed();
        const std::vector<QStringList>& texts = rows_[static_cast<size_t>(i)];
        for (size_t r = 0; r < texts.size(); ++r) {
            PlanEntry e;
            if (const QString why = readEntry(texts[r], e); !why.isEmpty()) {
                const QString name = texts[r].value(Name).trimmed();
                return PlanFault{QStringLiteral("Typ dnia „%1”, wpis %2%3: %4.")
                                     .arg(d.name)
                                     .arg(r + 1)
                                     .arg(name.isEmpty() ? QString() : QStringLiteral(" („%1”)").arg(name), why),
                                 d.name, static_cast<int>(r) + 1, name};
            }
            d.entries.push_back(e);
        }
        plan.dayTypes.push_back(std::move(d));
    }
    for (size_t d = 0; d < 7; ++d)
        plan.week[d] = Tydzien[d]->currentText() == NoDayType ? QString() : Tydzien[d]->currentText();
    for (int r = 0; r < Wyjatki->rowCount(); ++r) {
        const auto text = [&](int c) { return Wyjatki->item(r, c) ? Wyjatki->item(r, c)->text().trimmed() : QString(); };
        PlanException x;
        x.from = QDate::fromString(text(0), Qt::ISODate);
        x.to = text(1).isEmpty() ? x.from : QDate::fromString(text(1), Qt::ISODate);
        x.name = text(2);
        x.dayType = text(3);
        plan.exceptions.push_back(x);
    }
    if (PlanFault why = findPlanFault(plan); !why.sound())
        return why;
    out = std::move(plan);
    return {};
}

void TFHarmonogram::Odswiez()
{
    Nastepne->clear();
    Podglad->clear();
    const QDate day = PodgladData->date();
    PodgladTytul->setText(QStringLiteral("Co się stanie %1?").arg(day.toString(Qt::ISODate)));
    Plan plan;
    if (const QString why = readPlan(plan); !why.isEmpty()) {
        Nastepne->addItem(why);
        return;
    }
    PlanEngine engine;
    engine.setPlan(plan);
    for (const PlanFiring& f : engine.next(now_(), 10))
        Nastepne->addItem(firingLine(f, true));
    const std::vector<PlanFiring> firings = engine.firingsOn(day);
    if (firings.empty())
        Podglad->addItem(QStringLiteral("Nic"));
    for (const PlanFiring& f : firings)
        Podglad->addItem(firingLine(f, false));
}

void TFHarmonogram::Zapisz()
{
    Plan plan;
    const PlanFault fault = read(plan);
    refusal_ = fault.sound() ? save_(plan) : fault.message;
    if (!refusal_.isEmpty()) {
        showEntry(fault);
        ShowMessage(MsgKind::Error, refusal_);
        return;
    }
    Odswiez();
}

// The refused entry's row, selected, so the operator sees which it is.
void TFHarmonogram::showEntry(const PlanFault& fault)
{
    if (fault.entry <= 0)
        return;
    const QList<QListWidgetItem*> types = TypyDni->findItems(fault.dayType, Qt::MatchExactly);
    if (types.isEmpty())
        return;
    TypyDni->setCurrentItem(types.front());
    Wpisy->setCurrentCell(fault.entry - 1, Time);
}

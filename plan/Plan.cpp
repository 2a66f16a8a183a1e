#include "plan/Plan.h"

#include <QSet>
#include <algorithm>
#include <map>
#include <unordered_map>

bool PlanEntry::isCommand() const
{
    switch (action) {
    case PlanAction::Preset:
    case PlanAction::Set:
    case PlanAction::Start:
    case PlanAction::Stop:
    case PlanAction::Zero: return true;
    default: return false;
    }
}

const DayType* Plan::dayType(const QString& name) const
{
    for (const DayType& d : dayTypes)
        if (d.name == name)
            return &d;
    return nullptr;
}

const DayType* Plan::dayTypeOn(const QDate& date) const
{
    for (const PlanException& e : exceptions)
        if (date >= e.from && date <= e.to)
            return e.dayType.isEmpty() ? nullptr : dayType(e.dayType);
    const QString& name = week[static_cast<size_t>(date.dayOfWeek() - 1)];
    return name.isEmpty() ? nullptr : dayType(name);
}

bool Plan::activeOn(const QDate& date) const
{
    return enabled && (!pausedUntil.isValid() || date >= pausedUntil);
}

bool Plan::empty() const
{
    return std::all_of(dayTypes.begin(), dayTypes.end(), [](const DayType& d) { return d.entries.empty(); });
}

namespace {

QString two(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString targetText(int target)
{
    return target == 0 ? QStringLiteral("W") : QString::number(target);
}

QString presetList()
{
    return QStringLiteral("2, 3, 4, 6, 8, 10, 15, 20, 30 i 60 minut");
}

} // namespace

QString entryTimeText(const PlanEntry& e)
{
    QString text = two(e.hour) + QLatin1Char(':') + two(e.minute);
    if (e.second != 0)
        text += QLatin1Char(':') + two(e.second);
    return text;
}

QString describeAction(const PlanEntry& e)
{
    const QString to = targetText(e.target);
    switch (e.action) {
    case PlanAction::Preset: return QStringLiteral("%1 m %2").arg(e.minutes).arg(to);
    case PlanAction::Set: return QStringLiteral("USTAW %1:%2 %3").arg(two(e.minutes), two(e.seconds), to);
    case PlanAction::Start: return QStringLiteral("START %1").arg(to);
    case PlanAction::Stop: return QStringLiteral("STOP %1").arg(to);
    case PlanAction::Zero: return QStringLiteral("ZERUJ %1").arg(to);
    case PlanAction::Mode: return QStringLiteral("%1 %2").arg(e.value ? QStringLiteral("RTC") : QStringLiteral("Stoper"), to);
    case PlanAction::Brightness: return QStringLiteral("Jasność %1 %2").arg(e.value).arg(to);
    case PlanAction::Display: return QStringLiteral("Wył %1 %2").arg(e.value ? QStringLiteral("tak") : QStringLiteral("nie"), to);
    case PlanAction::Direction:
        return QStringLiteral("D %1 %2").arg(e.value ? QStringLiteral("w dół") : QStringLiteral("w górę"), to);
    }
    return {};
}

namespace {

QString where(const DayType& d, size_t index, const PlanEntry& e)
{
    const QString name = e.name.isEmpty() ? QString() : QStringLiteral(" („%1”)").arg(e.name);
    return QStringLiteral("Typ dnia „%1”, wpis %2%3").arg(d.name).arg(index + 1).arg(name);
}

QString entryFault(const PlanEntry& e)
{
    if (e.hour < 0 || e.hour > 23 || e.minute < 0 || e.minute > 59 || e.second < 0 || e.second > 59)
        return QStringLiteral("godzina %1:%2%3 nie istnieje (od 00:00 do 23:59:59)")
            .arg(two(e.hour), two(e.minute), e.second ? QLatin1Char(':') + two(e.second) : QString());
    if ((e.weekdays & 0x7fu) == 0)
        return QStringLiteral("nie wybrano żadnego dnia tygodnia");
    if (e.target < 0 || e.target > 4)
        return QStringLiteral("zegar %1 nie istnieje (W albo zegar 1–4)").arg(e.target);
    switch (e.action) {
    case PlanAction::Preset:
        if (std::find(PlanPresets.begin(), PlanPresets.end(), e.minutes) == PlanPresets.end())
            return QStringLiteral("nie ma czasu gotowego %1 m; są: %2").arg(e.minutes).arg(presetList());
        break;
    case PlanAction::Set:
        if (e.minutes < 0 || e.minutes > 99)
            return QStringLiteral("minuty %1 są poza zakresem 00–99").arg(e.minutes);
        if (e.seconds < 0 || e.seconds > 59)
            return QStringLiteral("sekundy %1 są poza zakresem 00–59").arg(e.seconds);
        break;
    case PlanAction::Brightness:
        if (e.value < 0 || e.value > 3)
            return QStringLiteral("jasność %1 jest poza zakresem 0–3").arg(e.value);
        break;
    case PlanAction::Mode:
    case PlanAction::Display:
    case PlanAction::Direction:
        if (e.value != 0 && e.value != 1)
            return QStringLiteral("wartość %1 nie jest ani 0, ani 1").arg(e.value);
        break;
    default: break;
    }
    if (e.catchUp && (e.catchUpMinutes < 1 || e.catchUpMinutes > 1440))
        return QStringLiteral("okno nadrabiania %1 min jest poza zakresem 1–1440").arg(e.catchUpMinutes);
    return {};
}

QString dateText(const QDate& d)
{
    return d.toString(Qt::ISODate);
}

// A name goes into the event log's lines and the status bar as it is: a line break or a control
// character in it would make a line of its own, or none that can be read.
bool printable(const QString& name)
{
    return std::none_of(name.begin(), name.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    });
}

const QString BadName = QStringLiteral("nazwa zawiera znak sterujący (na przykład koniec wiersza)");

} // namespace

PlanFault findPlanFault(const Plan& plan)
{
    const auto inEntry = [](const DayType& d, size_t i, QString message) {
        return PlanFault{std::move(message), d.name, static_cast<int>(i) + 1, d.entries[i].name};
    };
    const auto fault = [](QString message) { return PlanFault{std::move(message), {}, 0, {}}; };
    // A plan is checked in one pass over it, each look-up by hash or by date: a plan file may
    // hold tens of thousands of entries, and a check in square time would hold the window.
    QSet<QString> typeNames;
    for (size_t t = 0; t < plan.dayTypes.size(); ++t) {
        const DayType& d = plan.dayTypes[t];
        if (d.name.trimmed().isEmpty())
            return fault(QStringLiteral("Typ dnia nr %1 nie ma nazwy.").arg(t + 1));
        if (!printable(d.name))
            return fault(QStringLiteral("Typ dnia nr %1: %2.").arg(t + 1).arg(BadName));
        if (typeNames.contains(d.name))
            return fault(QStringLiteral("Typ dnia „%1” występuje dwa razy.").arg(d.name));
        typeNames.insert(d.name);
        // The earlier commands of each second; their weekdays are apart, so there are at most seven.
        std::unordered_map<int, std::vector<size_t>> commandsAt;
        for (size_t i = 0; i < d.entries.size(); ++i) {
            const PlanEntry& e = d.entries[i];
            if (!printable(e.name))
                return PlanFault{QStringLiteral("Typ dnia „%1”, wpis %2: %3.").arg(d.name).arg(i + 1).arg(BadName),
                                 d.name,
                                 static_cast<int>(i) + 1,
                                 {}};
            if (const QString why = entryFault(e); !why.isEmpty())
                return inEntry(d, i, QStringLiteral("%1: %2.").arg(where(d, i, e), why));
            // One command slot: the later of two commands in one second would replace the earlier.
            if (!e.isCommand())
                continue;
            std::vector<size_t>& earlier = commandsAt[e.secondOfDay()];
            for (const size_t j : earlier)
                if (d.entries[j].weekdays & e.weekdays)
                    return inEntry(d, i,
                                   QStringLiteral("%1: w tej samej sekundzie co wpis %2, a zegary przyjmują jedno "
                                                  "polecenie naraz; przesuń jeden z nich o sekundę.")
                                       .arg(where(d, i, e))
                                       .arg(j + 1));
            earlier.push_back(i);
        }
    }
    static const char* const days[] = {"poniedziałek", "wtorek", "środa", "czwartek", "piątek", "sobota", "niedziela"};
    for (size_t w = 0; w < plan.week.size(); ++w)
        if (!plan.week[w].isEmpty() && !typeNames.contains(plan.week[w]))
            return fault(QStringLiteral("Tydzień: %1 ma typ dnia „%2”, którego nie ma w harmonogramie.")
                             .arg(QString::fromUtf8(days[w]), plan.week[w]));
    std::map<QDate, size_t> earlier;  // from → index
    for (size_t x = 0; x < plan.exceptions.size(); ++x) {
        const PlanException& e = plan.exceptions[x];
        if (!printable(e.name) || !printable(e.dayType))
            return fault(QStringLiteral("Wyjątek nr %1: %2.").arg(x + 1).arg(BadName));
        const QString name = e.name.isEmpty() ? QStringLiteral("nr %1").arg(x + 1) : QStringLiteral("„%1”").arg(e.name);
        if (!e.from.isValid() || !e.to.isValid())
            return fault(QStringLiteral("Wyjątek %1 nie ma poprawnej daty.").arg(name));
        if (e.to < e.from)
            return fault(QStringLiteral("Wyjątek %1 kończy się (%2) przed początkiem (%3).")
                             .arg(name, dateText(e.to), dateText(e.from)));
        if (!e.dayType.isEmpty() && !typeNames.contains(e.dayType))
            return fault(
                QStringLiteral("Wyjątek %1 ma typ dnia „%2”, którego nie ma w harmonogramie.").arg(name, e.dayType));
        // The earlier ranges do not overlap one another: those this one overlaps lie together,
        // and the first of them in the plan's order is named.
        size_t first = x;
        for (auto it = earlier.upper_bound(e.to); it != earlier.begin();) {
            --it;
            if (plan.exceptions[it->second].to < e.from)
                break;
            first = std::min(first, it->second);
        }
        if (first < x) {
            const PlanException& o = plan.exceptions[first];
            const QString other =
                o.name.isEmpty() ? QStringLiteral("nr %1").arg(first + 1) : QStringLiteral("„%1”").arg(o.name);
            return fault(QStringLiteral("Wyjątki %1 i %2 nakładają się (%3).")
                             .arg(other, name, dateText(std::max(e.from, o.from))));
        }
        earlier.emplace(e.from, x);
    }
    return {};
}

QString validatePlan(const Plan& plan)
{
    return findPlanFault(plan).message;
}

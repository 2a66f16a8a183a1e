#include "plan/PlanHolidays.h"

#include <QFile>
#include <libical/ical.h>
#include <memory>

#include "files/FileRoom.h"

namespace {

constexpr int LookAheadDays = 2 * 366;
constexpr int MaxRecurrenceSteps = 100000;  // FREQ=DAILY for years is as far as one event goes

using Calendar = std::unique_ptr<icalcomponent, decltype(&icalcomponent_free)>;

QDate dateOf(const icaltimetype& t)
{
    return QDate(t.year, t.month, t.day);
}

// The first line libical could not read, in its own words; empty when there is none.
QString firstError(icalcomponent* c)
{
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY))
        return QString::fromUtf8(icalproperty_get_xlicerror(p));
    for (icalcomponent* k = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); k;
         k = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
        if (QString why = firstError(k); !why.isEmpty())
            return why;
    return {};
}

// DTEND is the day after an all-day event; without it (or DURATION) the event is one day.
PlanException holiday(const QString& name, const QDate& from, qint64 days)
{
    return PlanException{from, from.addDays(std::max<qint64>(days, 1) - 1), name, QString()};
}

}  // namespace

HolidayImport readHolidays(const QByteArray& ics, const QDate& today)
{
    HolidayImport out;
    if (ics.size() > HolidayFileMaxBytes) {
        out.fault = QStringLiteral("plik ma %1 B, a może mieć najwyżej %2 B").arg(ics.size()).arg(HolidayFileMaxBytes);
        return out;
    }
    // libical reads up to a NUL as the end of the text.
    if (ics.contains('\0')) {
        out.fault = QStringLiteral("to nie jest plik iCalendar (zawiera bajty binarne)");
        return out;
    }
    const Calendar root(icalparser_parse_string(ics.constData()), &icalcomponent_free);
    icalerror_clear_errno();
    if (!root || icalcomponent_isa(root.get()) != ICAL_VCALENDAR_COMPONENT) {
        out.fault = root
            ? QStringLiteral("plik zawiera kilka kalendarzy zamiast jednego")
            : QStringLiteral("to nie jest plik iCalendar albo jest ucięty (brak BEGIN:VCALENDAR … END:VCALENDAR)");
        return out;
    }
    if (const QString why = firstError(root.get()); !why.isEmpty()) {
        out.fault = QStringLiteral("plik jest uszkodzony; libical podaje: „%1”").arg(why.left(200));
        return out;
    }
    std::vector<PlanException> found;
    const QDate horizon = today.addDays(LookAheadDays);
    for (icalcomponent* e = icalcomponent_get_first_component(root.get(), ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(root.get(), ICAL_VEVENT_COMPONENT)) {
        const icaltimetype start = icalcomponent_get_dtstart(e);
        if (icaltime_is_null_time(start))
            continue;
        if (!start.is_date) {
            ++out.timed;
            continue;
        }
        // A line break within the summary is a space; other control characters go.
        QString name = QString::fromUtf8(icalcomponent_get_summary(e)).simplified();
        name.removeIf(
            [](QChar c) { return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format; });
        name = name.left(200);
        const icaltimetype end = icalcomponent_get_dtend(e);
        const qint64 days = icaltime_is_null_time(end) ? 1 : dateOf(start).daysTo(dateOf(end));
        icalproperty* rule = icalcomponent_get_first_property(e, ICAL_RRULE_PROPERTY);
        if (!rule) {
            found.push_back(holiday(name, dateOf(start), days));
        } else {
            const std::unique_ptr<icalrecur_iterator, decltype(&icalrecur_iterator_free)> it(
                icalrecur_iterator_new(icalproperty_get_rrule(rule), start), &icalrecur_iterator_free);
            for (int step = 0; it && step < MaxRecurrenceSteps; ++step) {
                const icaltimetype t = icalrecur_iterator_next(it.get());
                if (icaltime_is_null_time(t) || dateOf(t) >= horizon)
                    break;
                if (dateOf(t).addDays(days - 1) >= today)
                    found.push_back(holiday(name, dateOf(t), days));
                if (static_cast<int>(found.size()) > MaxHolidays)
                    break;
            }
        }
        if (static_cast<int>(found.size()) > MaxHolidays) {
            out.fault =
                QStringLiteral("plik ma ponad %1 wydarzeń całodniowych, a harmonogram przyjmuje z jednego pliku "
                               "najwyżej %1")
                    .arg(MaxHolidays);
            return out;
        }
    }
    for (const PlanException& h : found)
        if (!h.from.isValid() || !h.to.isValid()) {
            out.fault = QStringLiteral("wydarzenie „%1” nie ma poprawnej daty").arg(h.name);
            return out;
        }
    if (found.empty()) {
        out.fault = out.timed ? QStringLiteral("plik nie ma wydarzeń całodniowych, tylko %1 z godziną").arg(out.timed)
                              : QStringLiteral("plik nie ma żadnych wydarzeń");
        return out;
    }
    out.holidays = std::move(found);
    return out;
}

HolidayImport readHolidayFile(const QString& path, const QDate& today)
{
    std::string bytes;
    const FileRoom::Policy policy{.maxBytes = static_cast<size_t>(HolidayFileMaxBytes)};
    if (const FileRoom::Outcome read = FileRoom::read(QFile::encodeName(path).toStdString(), policy, bytes);
        !read.ok()) {
        HolidayImport out;
        out.fault = QString::fromStdString(read.reason);
        return out;
    }
    return readHolidays(QByteArray::fromStdString(bytes), today);
}

HolidayMerge mergeHolidays(const std::vector<PlanException>& existing, const std::vector<PlanException>& incoming)
{
    HolidayMerge out;
    const auto overlaps = [](const PlanException& a, const PlanException& b) {
        return a.from <= b.to && b.from <= a.to;
    };
    for (const PlanException& h : incoming) {
        bool same = false, clash = false;
        for (const PlanException& x : existing) {
            same = same || (x.from == h.from && x.to == h.to && x.name == h.name);
            clash = clash || overlaps(x, h);
        }
        for (const PlanException& x : out.added)
            clash = clash || overlaps(x, h);
        if (same)
            ++out.alreadyThere;
        else if (clash)
            out.overlapping.push_back(h);
        else
            out.added.push_back(h);
    }
    return out;
}

#pragma once
// A school's holidays from an iCalendar file (.ics), read by libical: every all-day event, one
// day or several, becomes a dated exception with no entries, named by its SUMMARY. Events with
// a time of day are left out. A recurring all-day event gives its occurrences from the day of
// the import for two years. A file that is damaged, not iCalendar, or without such events is
// refused whole, and so is one with more of them than a plan should hold.
#include <QDate>
#include <QString>
#include <vector>

#include "plan/Plan.h"

constexpr qsizetype HolidayFileMaxBytes = 4 * 1024 * 1024;
constexpr int MaxHolidays = 1000;

struct HolidayImport {
    std::vector<PlanException> holidays;  // in the file's order
    int timed = 0;                        // events with a time of day, left out
    QString fault;                        // why nothing was taken, Polish, without the file's name
};

HolidayImport readHolidays(const QByteArray& ics, const QDate& today);
// The same for a file: a regular file only, without waiting on a FIFO, up to the cap.
HolidayImport readHolidayFile(const QString& path, const QDate& today);

// How imported holidays join a plan's exceptions, which may not overlap: one the plan already
// has (same dates and name) is not added again; one overlapping an exception, or an earlier
// holiday of the same import, is left out and named.
struct HolidayMerge {
    std::vector<PlanException> added;
    std::vector<PlanException> overlapping;
    int alreadyThere = 0;
};
HolidayMerge mergeHolidays(const std::vector<PlanException>& existing, const std::vector<PlanException>& incoming);

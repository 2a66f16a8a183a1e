// A school's holidays from an iCalendar file, read by libical: each all-day event, one day or
// several, becomes an exception with nothing to fire, named by its SUMMARY; an event with a time
// is left out; a recurring one gives its days ahead. A damaged, binary, empty or oversized file,
// or one with too many events, is refused whole. Joined to a plan, a holiday already there is
// not added twice and one that would overlap an exception is left out and named.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "plan/PlanHolidays.h"

namespace {

const QDate Today(2027, 1, 10);

QByteArray calendar(const QByteArray& events)
{
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Szkoła//PL\r\n" + events + "END:VCALENDAR\r\n";
}

QByteArray event(const QByteArray& lines)
{
    static int uid = 0;
    return "BEGIN:VEVENT\r\nUID:" + QByteArray::number(++uid) + "\r\n" + lines + "END:VEVENT\r\n";
}

QByteArray dayEvent(const char* summary, const char* from, const char* toExclusive = nullptr)
{
    QByteArray lines = QByteArray("DTSTART;VALUE=DATE:") + from + "\r\n";
    if (toExclusive)
        lines += QByteArray("DTEND;VALUE=DATE:") + toExclusive + "\r\n";
    return event(lines + "SUMMARY:" + summary + "\r\n");
}

std::string shown(const std::vector<PlanException>& holidays)
{
    std::string out;
    for (const PlanException& h : holidays)
        out += (h.from.toString(Qt::ISODate) + QLatin1Char(' ') + h.to.toString(Qt::ISODate) + QLatin1Char(' ') + h.name
                + (h.dayType.isEmpty() ? QString() : QStringLiteral(" !"))
                + QLatin1Char(';'))
                   .toStdString();
    return out;
}

TEST(PlanHolidays, EachAllDayEventIsAnExceptionAndTheRestIsRefusedWhole)
{
    QByteArray tenThousand;
    for (int i = 0; i < 10000; ++i)
        tenThousand += dayEvent("Dzień", QDate(2027, 1, 1).addDays(i).toString(QStringLiteral("yyyyMMdd")).toLatin1().constData());
    const struct {
        const char* name;
        QByteArray ics;
        const char* holidays;   // "from to name;" each, in order
        int timed;
        const char* fault;      // a piece of the refusal
    } cases[] = {
        {"one day, several days, a duration, no end",
         calendar(dayEvent("Nowy Rok", "20270101", "20270102") + dayEvent("Ferie zimowe", "20270118", "20270201")
                  + event("DTSTART;VALUE=DATE:20270430\r\nDURATION:P4D\r\nSUMMARY:Majówka\r\n")
                  + dayEvent("Boże Ciało", "20270527")),
         "2027-01-01 2027-01-01 Nowy Rok;2027-01-18 2027-01-31 Ferie zimowe;2027-04-30 2027-05-03 Majówka;"
         "2027-05-27 2027-05-27 Boże Ciało;",
         0, ""},
        {"a timed event is left out",
         calendar(event("DTSTART:20270105T100000Z\r\nDTEND:20270105T110000Z\r\nSUMMARY:Zebranie\r\n")
                  + dayEvent("Dzień Edukacji", "20271014")),
         "2027-10-14 2027-10-14 Dzień Edukacji;", 1, ""},
        {"a yearly holiday gives its days of the next two years",
         calendar(event("DTSTART;VALUE=DATE:20001111\r\nRRULE:FREQ=YEARLY\r\nSUMMARY:Święto Niepodległości\r\n")),
         "2027-11-11 2027-11-11 Święto Niepodległości;2028-11-11 2028-11-11 Święto Niepodległości;", 0, ""},
        {"folded lines and an accent", calendar(dayEvent("Wigilia\r\n  Bożego Narodzenia", "20271224")),
         "2027-12-24 2027-12-24 Wigilia Bożego Narodzenia;", 0, ""},
        {"a line break and a control character in the summary", calendar(dayEvent("Ferie\\nzimowe\x1b[2J", "20270118")),
         "2027-01-18 2027-01-18 Ferie zimowe[2J;", 0, ""},
        {"only timed events", calendar(event("DTSTART:20270105T100000Z\r\nSUMMARY:Zebranie\r\n")), "", 1,
         "nie ma wydarzeń całodniowych, tylko 1 z godziną"},
        {"no events", calendar(""), "", 0, "nie ma żadnych wydarzeń"},
        {"a broken line", calendar(dayEvent("Nowy Rok", "20270101") + event("this is broken\r\nDTSTART;VALUE=DATE:20270106\r\n")),
         "", 0, "plik jest uszkodzony; libical podaje: „Got a data line"},
        {"a date that is none", calendar(dayEvent("Nowy Rok", "2027x101")), "", 0, "plik jest uszkodzony"},
        {"truncated", calendar(dayEvent("Nowy Rok", "20270101")).left(90), "", 0, "to nie jest plik iCalendar albo jest ucięty"},
        {"plain text", "Ferie: 18.01-31.01\n", "", 0, "to nie jest plik iCalendar"},
        {"binary", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "", 0, "zawiera bajty binarne"},
        {"two calendars", calendar(dayEvent("A", "20270101")) + calendar(dayEvent("B", "20270102")), "", 0,
         "kilka kalendarzy"},
        {"ten thousand events", calendar(tenThousand), "", 0, "ponad 1000 wydarzeń całodniowych"},
        {"daily rules, each bounded to two years, together too many",
         calendar(event("DTSTART;VALUE=DATE:20270101\r\nRRULE:FREQ=DAILY\r\nSUMMARY:Co dzień\r\n")
                  + event("DTSTART;VALUE=DATE:19700101\r\nRRULE:FREQ=DAILY\r\nSUMMARY:Od zawsze\r\n")),
         "", 0, "ponad 1000 wydarzeń całodniowych"},
        {"over the size cap", QByteArray(HolidayFileMaxBytes + 1, 'x'), "", 0, "może mieć najwyżej 4194304 B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HolidayImport read = readHolidays(c.ics, Today);
        EXPECT_EQ(shown(read.holidays), c.holidays);
        EXPECT_TRUE(read.fault.contains(QString::fromUtf8(c.fault))) << read.fault.toStdString();
        EXPECT_EQ(read.fault.isEmpty(), *c.fault == '\0') << read.fault.toStdString();
        if (read.fault.isEmpty()) {
            EXPECT_EQ(read.timed, c.timed);
        }
    }
}

TEST(PlanHolidays, AFifoIsRefusedWithoutWaiting)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("święta.ics"));
    ASSERT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    const HolidayImport read = readHolidayFile(path, Today);
    EXPECT_TRUE(read.holidays.empty());
    EXPECT_TRUE(read.fault.contains(QStringLiteral("to nie jest zwykły plik"))) << read.fault.toStdString();
}

TEST(PlanHolidays, JoiningAPlanAddsNoneTwiceAndNoOverlap)
{
    const auto day = [](int month, int d) { return QDate(2027, month, d); };
    const std::vector<PlanException> plan{{day(1, 1), day(1, 1), QStringLiteral("Nowy Rok"), {}},
                                          {day(3, 10), day(3, 10), QStringLiteral("Rada"), QStringLiteral("Skrócone")}};
    const std::vector<PlanException> file{
        {day(1, 1), day(1, 1), QStringLiteral("Nowy Rok"), {}},           // the same: already there
        {day(3, 8), day(3, 12), QStringLiteral("Rekolekcje"), {}},        // over "Rada"
        {day(1, 18), day(1, 31), QStringLiteral("Ferie zimowe"), {}},
        {day(1, 31), day(1, 31), QStringLiteral("Dzień"), {}},            // over the holidays just taken
        {day(5, 3), day(5, 3), QStringLiteral("Święto Konstytucji"), {}},
    };
    const HolidayMerge merged = mergeHolidays(plan, file);
    EXPECT_EQ(shown(merged.added), "2027-01-18 2027-01-31 Ferie zimowe;2027-05-03 2027-05-03 Święto Konstytucji;");
    EXPECT_EQ(shown(merged.overlapping), "2027-03-08 2027-03-12 Rekolekcje;2027-01-31 2027-01-31 Dzień;");
    EXPECT_EQ(merged.alreadyThere, 1);
}

} // namespace

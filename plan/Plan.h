#pragma once
// The plan of timed commands of one profile: day types (named sets of entries), the week that
// names a day type for each weekday, dated exceptions, the switch and the pause. Each entry does
// what one of the window's controls does, at a local time of day.
#include <QDate>
#include <QString>
#include <array>
#include <vector>

enum class PlanAction {
    Preset,      // a preset button ("2 m" .. "60 m"): minutes
    Set,         // "USTAW" with minutes and seconds
    Start,       // "START"
    Stop,        // "STOP"
    Zero,        // "ZERUJ"
    Mode,        // "RTC" (value 1) or "Stoper" (0)
    Brightness,  // the slider, 0..3
    Display,     // "Wył": 1 blanks the display, 0 lights it
    Direction,   // "D": 1 counts down, 0 up
};

// The preset buttons' minutes, as the window has them.
constexpr std::array<int, 10> PlanPresets{2, 3, 4, 6, 8, 10, 15, 20, 30, 60};

struct PlanEntry {
    int hour = 0;
    int minute = 0;
    int second = 0;
    // Bit d-1 for Qt's day d (1 Monday .. 7 Sunday).
    unsigned weekdays = 0x7f;
    int target = 0;              // 0 "W" (all clocks), 1..4
    PlanAction action = PlanAction::Start;
    int minutes = 0;             // Preset, Set
    int seconds = 0;             // Set
    int value = 0;               // Mode, Brightness, Display, Direction
    QString name;                // "Lekcja 3"; may be empty
    // "nadrabiaj": fired late, once, while still within this many minutes of its time.
    bool catchUp = false;
    int catchUpMinutes = 0;

    int secondOfDay() const { return hour * 3600 + minute * 60 + second; }
    bool runsOn(int dayOfWeek) const { return (weekdays >> (dayOfWeek - 1)) & 1u; }
    // A stopwatch command goes through the one command slot; the others set a panel's control,
    // which every later poll carries.
    bool isCommand() const;
};

struct DayType {
    QString name;                // "Zwykły dzień"
    std::vector<PlanEntry> entries;
};

struct PlanException {
    QDate from;
    QDate to;                    // inclusive; equal to from for one day
    QString name;                // "Ferie zimowe"
    QString dayType;             // empty: nothing fires on these days
};

struct Plan {
    static constexpr int Version = 1;
    bool enabled = true;
    QDate pausedUntil;           // nothing fires before this date; null: not paused
    std::vector<DayType> dayTypes;
    std::array<QString, 7> week; // the day type of Monday .. Sunday; empty: none
    std::vector<PlanException> exceptions;

    const DayType* dayType(const QString& name) const;
    // The day type that runs on date (an exception first, then the week), or null.
    const DayType* dayTypeOn(const QDate& date) const;
    // Whether the switch and the pause let anything fire on date.
    bool activeOn(const QDate& date) const;
    bool empty() const;
};

// Polish, for the log and the status bar: "START W", "USTAW 45:00 → 2", "Jasność 1 → 3".
QString describeAction(const PlanEntry& entry);
QString entryTimeText(const PlanEntry& entry);   // "10:45" or "10:45:30"

// The first fault of a plan: one Polish sentence naming where it is, and the entry it is in
// when it is an entry's, so that a program or the dialog can point at it.
struct PlanFault {
    QString message;  // empty when the plan is sound
    QString dayType;  // the entry's day type
    int entry = 0;    // the entry's number in its day type, from 1; 0: not an entry's
    QString entryName;
    bool sound() const { return message.isEmpty(); }
};

// The dialog's, the file's and the remote API's one check.
PlanFault findPlanFault(const Plan& plan);
// Its sentence alone; empty when sound.
QString validatePlan(const Plan& plan);

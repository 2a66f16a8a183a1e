#pragma once
// One school's plan for the plan's tests: a preset and a START with "nadrabiaj" on school days,
// a panel setting on weekdays only, a USTAW with seconds on match Saturdays, a week with a gap,
// the winter holidays and a pause that ended before them.
#include <QByteArray>
#include <gtest/gtest.h>

#include "plan/PlanFile.h"

inline QByteArray schoolPlanJson()
{
    return R"({"format": "kadrel-harmonogram", "version": 1, "pausedUntil": "2027-01-04",
        "dayTypes": [{"name": "Zwykły dzień", "entries": [
            {"time": "07:55", "name": "Lekcja 1", "target": "W", "action": "preset", "minutes": 10},
            {"time": "08:00", "name": "Lekcja 1", "target": "W", "action": "start", "catchUpMinutes": 2},
            {"time": "22:00", "days": [1, 2, 3, 4, 5], "target": 2, "action": "display", "value": 1}]},
            {"name": "Mecz", "entries": [{"time": "18:00:30", "name": "I połowa", "target": 1, "action": "set", "minutes": 45, "seconds": 0}]}],
        "week": ["Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Zwykły dzień", "Mecz", ""],
        "exceptions": [{"name": "Ferie zimowe", "from": "2027-01-18", "to": "2027-01-31", "dayType": ""}]})";
}

inline Plan schoolPlan()
{
    Plan p;
    EXPECT_EQ(planFromJson(schoolPlanJson(), p).toStdString(), "");
    return p;
}

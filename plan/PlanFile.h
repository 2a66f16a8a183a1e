#pragma once
// The plan's file, "harmonogram.json" beside z.cf: JSON, read and written through FileRoom
// (regular file only, without waiting, written aside and renamed). A file that cannot be taken
// whole is named in one sentence and left as it is; the program then runs with no plan.
#include <QByteArray>
#include <QString>

#include "plan/Plan.h"

struct PlanLoad {
    Plan plan;                   // empty unless the file was read and sound
    bool present = false;        // a sound file was read
    QString damage;              // why the file there was not taken; empty when read or missing
};

constexpr qsizetype PlanFileMaxBytes = 1024 * 1024;

QString planFilePath(const QString& configFolder);
PlanLoad loadPlanFile(const QString& path);
// The same for a file the operator chose (an exported plan): empty and plan filled, or why not,
// without the file's name (a missing file is a failure here).
QString readPlanFile(const QString& path, Plan& plan);
// A plan that is not sound is refused and the file kept. Returns empty or why, in Polish.
QString savePlanFile(const QString& path, const Plan& plan);

QByteArray planToJson(const Plan& plan);
// Sound and plan filled, or the first fault (the cap's, the format's or findPlanFault's) and
// plan untouched: the file, an imported plan and the remote API's PUT alike.
PlanFault readPlanJson(const QByteArray& json, Plan& plan);
QString planFromJson(const QByteArray& json, Plan& plan);  // its sentence alone

#pragma once
// What the remote server may use of the plan of timed commands: its document (the plan file's
// JSON), replacing it whole, and the firings ahead. The window's plan implements it; the server
// gets it by a setter and never sees the plan's own types.
#include <QByteArray>
#include <QString>
#include <array>
#include <optional>
#include <vector>

struct PlanFiringView {
    qint64 at = 0;   // seconds since the epoch
    QString time;    // the entry's local time of day: "10:45" or "10:45:30"
    QString name;    // "Przerwa"; may be empty
    QString action;  // as the log and the status bar say it: "START W"
    int target = 0;  // 0 "W", 1..4
    QString dayType;
};

struct PlanRefusal {
    int status = 400;
    QByteArray code;         // "bad_plan", "body_too_large", "plan_in_use", "not_saved"
    QString message;         // Polish, naming the first bad entry
    QString dayType = {};    // the bad entry: its day type,
    int entry = 0;           // its number there from 1 (0: the fault is not an entry's)
    QString entryName = {};  // and its name
};

class PlanHost {
public:
    virtual QByteArray planDocument() const = 0;
    // Checks the document as the dialog checks a plan, and when it is sound saves it and runs it
    // from the next tick; else the first fault, and the plan stays as it was.
    virtual std::optional<PlanRefusal> replacePlan(const QByteArray& document) = 0;
    virtual std::vector<PlanFiringView> nextFirings(int count) const = 0;
    // For each clock 1..4, the name of the last of today's entries for it (or for "W") whose
    // time has come: "Lekcja 3"; empty when none has.
    virtual std::array<QString, 4> currentEntries() const = 0;

protected:
    ~PlanHost() = default;
};

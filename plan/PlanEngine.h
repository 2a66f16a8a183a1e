#pragma once
// Which entries of the plan fire at which second. The engine is told the wall clock and the
// monotonic clock at each tick and answers with what happened since the last tick: firings,
// entries missed (the program was not running, the bus could not take them, the wall clock
// jumped over them), late firings of entries marked "nadrabiaj" and steps of the wall clock.
// Each (day, entry) is handled once: a firing belongs to one instant on the epoch's time line,
// and only instants after the last one handled are looked at, whatever the wall clock does.
#include <QDate>
#include <QString>
#include <QTimeZone>
#include <map>
#include <vector>

#include "plan/Plan.h"

struct PlanFiring {
    qint64 at = 0;               // seconds since the epoch
    QDate day;                   // the local date whose plan it belongs to
    QString dayType;
    PlanEntry entry;
};

enum class PlanEventKind {
    Fired,        // due now, the bus takes it
    Missed,       // not done (see MissReason)
    CaughtUp,     // a "nadrabiaj" entry done late, within its window
    Deferred,     // a panel setting due while the bus is away: applied when it is back
    Restored,     // a deferred panel setting applied now
    ClockStepped, // the wall clock jumped; stepFrom and stepTo say from where to where
};

enum class MissReason {
    NotRunning,      // came due while the program was not running
    BusUnavailable,  // the port was closed or a dialog held the bus
    ClockStep,       // the wall clock jumped over it
    WindowPassed,    // a "nadrabiaj" entry whose window ended before the bus came back
};

struct PlanEvent {
    PlanEventKind kind = PlanEventKind::Fired;
    PlanFiring firing;
    MissReason reason = MissReason::NotRunning;
    bool willCatchUp = false;    // Missed: it is kept, and done when the bus is back in its window
    qint64 stepFrom = 0;         // ClockStepped: where the wall clock should have been (s)
    qint64 stepTo = 0;           // and where it is
};

class PlanEngine {
public:
    // A wall clock that strays this far from the monotonic clock between two ticks was stepped.
    static constexpr qint64 StepToleranceMs = 1500;

    explicit PlanEngine(const QTimeZone& zone = QTimeZone::systemTimeZone());

    // A new plan takes effect from the next tick; what was handled stays handled.
    void setPlan(const Plan& plan);
    const Plan& plan() const { return plan_; }

    // The first tick. What came due after sinceSec (the end of the last run, or the start of
    // today when unknown) and before this second was missed while the program was not running.
    std::vector<PlanEvent> start(qint64 wallMs, qint64 monotonicMs, qint64 sinceSec, bool busReady);
    // Every later tick.
    std::vector<PlanEvent> advance(qint64 wallMs, qint64 monotonicMs, bool busReady);
    bool started() const { return started_; }
    // The last second handled: the next run looks back to it.
    qint64 handledUpTo() const { return handled_; }

    // The firings of date, in order, as they will fire (none when paused or switched off).
    std::vector<PlanFiring> firingsOn(const QDate& day) const;
    // The firings after afterSec up to and including upToSec.
    std::vector<PlanFiring> firingsBetween(qint64 afterSec, qint64 upToSec) const;
    // The next count firings after afterSec (within a year).
    std::vector<PlanFiring> next(qint64 afterSec, int count) const;
    // The instant of a local time of day: in a doubled hour its first occurrence, in a skipped
    // hour the first second after the jump.
    qint64 instantOf(const QDate& day, int secondOfDay) const;
    QDate localDate(qint64 sec) const;

private:
    int offsetAt(qint64 sec) const;
    void due(const PlanFiring& f, qint64 nowSec, bool busReady, std::vector<PlanEvent>& out);
    void skipped(const PlanFiring& f, MissReason reason, qint64 nowSec, bool busReady, std::vector<PlanEvent>& out);
    void settle(qint64 nowSec, bool busReady, std::vector<PlanEvent>& out);

    QTimeZone zone_;
    Plan plan_;
    bool started_ = false;
    qint64 handled_ = 0;         // every instant up to this second has been handled
    qint64 lastWallMs_ = 0;
    qint64 lastMonotonicMs_ = 0;
    std::vector<PlanFiring> catchUps_;   // missed "nadrabiaj" entries waiting for the bus
    std::vector<PlanFiring> deferred_;   // panel settings waiting for the bus
    // Each tick looks at three days: their firings are worked out once per plan.
    mutable std::map<qint64, std::vector<PlanFiring>> days_;
    std::vector<PlanFiring> computeDay(const QDate& day) const;
};

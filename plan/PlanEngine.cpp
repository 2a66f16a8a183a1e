#include "plan/PlanEngine.h"

#include <QDateTime>
#include <algorithm>

namespace {

constexpr qint64 Day = 86400;
constexpr qint64 JulianEpoch = 2440588;   // 1970-01-01
constexpr qint64 MaxLookDays = 400;       // a span longer than this is looked at from its end

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool withinWindow(const PlanFiring& f, qint64 nowSec)
{
    return f.entry.catchUp && nowSec - f.at <= qint64(f.entry.catchUpMinutes) * 60;
}

PlanEvent event(PlanEventKind kind, const PlanFiring& f, MissReason reason = MissReason::NotRunning)
{
    PlanEvent e;
    e.kind = kind;
    e.firing = f;
    e.reason = reason;
    return e;
}

} // namespace

PlanEngine::PlanEngine(const QTimeZone& zone) : zone_(zone) {}

void PlanEngine::setPlan(const Plan& plan)
{
    plan_ = plan;
    days_.clear();
}

int PlanEngine::offsetAt(qint64 sec) const
{
    return zone_.offsetFromUtc(QDateTime::fromSecsSinceEpoch(sec, QTimeZone::utc()));
}

QDate PlanEngine::localDate(qint64 sec) const
{
    return QDate::fromJulianDay(floorDiv(sec + offsetAt(sec), Day) + JulianEpoch);
}

qint64 PlanEngine::instantOf(const QDate& day, int secondOfDay) const
{
    const qint64 naive = (day.toJulianDay() - JulianEpoch) * Day + secondOfDay;
    const int before = offsetAt(naive - Day);
    const int after = offsetAt(naive + Day);
    qint64 best = 0;
    bool found = false;
    for (const int offset : {before, offsetAt(naive), after}) {
        const qint64 t = naive - offset;
        if (offsetAt(t) == offset && (!found || t < best)) {
            best = t;
            found = true;
        }
    }
    if (found)
        return best;
    // In the gap of a change to summer time: the transition itself, the first second of the new
    // offset. It lies between the time read with the new offset and the time read with the old.
    qint64 lo = naive - std::max(before, after);
    qint64 hi = naive - std::min(before, after);
    const int first = offsetAt(lo);
    while (hi - lo > 1) {
        const qint64 mid = lo + (hi - lo) / 2;
        (offsetAt(mid) == first ? lo : hi) = mid;
    }
    return hi;
}

std::vector<PlanFiring> PlanEngine::firingsOn(const QDate& day) const
{
    const auto known = days_.find(day.toJulianDay());
    if (known != days_.end())
        return known->second;
    if (days_.size() >= 16)
        days_.clear();
    return days_[day.toJulianDay()] = computeDay(day);
}

std::vector<PlanFiring> PlanEngine::computeDay(const QDate& day) const
{
    std::vector<PlanFiring> out;
    if (!plan_.activeOn(day))
        return out;
    const DayType* type = plan_.dayTypeOn(day);
    if (!type)
        return out;
    // A day with one offset from a little before to a little after it (nearly every day) needs
    // no look at the zone per entry.
    const qint64 midnight = (day.toJulianDay() - JulianEpoch) * Day;
    const int offset = offsetAt(midnight - Day / 2);
    const bool steady = offsetAt(midnight + Day + Day / 2) == offset;
    for (const PlanEntry& e : type->entries)
        if (e.runsOn(day.dayOfWeek()))
            out.push_back({steady ? midnight + e.secondOfDay() - offset : instantOf(day, e.secondOfDay()), day,
                           type->name, e});
    std::stable_sort(out.begin(), out.end(), [](const PlanFiring& a, const PlanFiring& b) { return a.at < b.at; });
    return out;
}

std::vector<PlanFiring> PlanEngine::firingsBetween(qint64 afterSec, qint64 upToSec) const
{
    std::vector<PlanFiring> out;
    if (upToSec <= afterSec)
        return out;
    afterSec = std::max(afterSec, upToSec - MaxLookDays * Day);
    // A day's firings lie within its own local day, moved by at most a transition's length.
    for (QDate d = localDate(afterSec).addDays(-1), last = localDate(upToSec).addDays(1); d <= last; d = d.addDays(1))
        for (PlanFiring& f : firingsOn(d))
            if (f.at > afterSec && f.at <= upToSec)
                out.push_back(std::move(f));
    std::stable_sort(out.begin(), out.end(), [](const PlanFiring& a, const PlanFiring& b) { return a.at < b.at; });
    return out;
}

std::vector<PlanFiring> PlanEngine::next(qint64 afterSec, int count) const
{
    std::vector<PlanFiring> out;
    if (count <= 0 || !plan_.enabled)
        return out;
    const QDate first = localDate(afterSec).addDays(-1);
    for (QDate d = first; d <= first.addDays(366) && static_cast<int>(out.size()) < count; d = d.addDays(1)) {
        for (PlanFiring& f : firingsOn(d))
            if (f.at > afterSec && static_cast<int>(out.size()) < count)
                out.push_back(std::move(f));
    }
    return out;
}

void PlanEngine::due(const PlanFiring& f, qint64 nowSec, bool busReady, std::vector<PlanEvent>& out)
{
    if (busReady) {
        out.push_back(event(PlanEventKind::Fired, f));
    } else if (!f.entry.isCommand()) {
        // The panel keeps it and every poll carries it, so the clock gets it when it answers.
        deferred_.push_back(f);
        out.push_back(event(PlanEventKind::Deferred, f));
    } else {
        skipped(f, MissReason::BusUnavailable, nowSec, busReady, out);
    }
}

void PlanEngine::skipped(const PlanFiring& f, MissReason reason, qint64 nowSec, bool busReady,
                         std::vector<PlanEvent>& out)
{
    if (withinWindow(f, nowSec)) {
        if (busReady) {
            out.push_back(event(PlanEventKind::CaughtUp, f));
            return;
        }
        catchUps_.push_back(f);
        PlanEvent e = event(PlanEventKind::Missed, f, reason);
        e.willCatchUp = true;
        out.push_back(e);
        return;
    }
    out.push_back(event(PlanEventKind::Missed, f, reason));
}

// What waits for the bus: done when it is back, dropped when its window has passed.
void PlanEngine::settle(qint64 nowSec, bool busReady, std::vector<PlanEvent>& out)
{
    std::vector<PlanFiring> waiting;
    for (PlanFiring& f : catchUps_) {
        if (!withinWindow(f, nowSec))
            out.push_back(event(PlanEventKind::Missed, f, MissReason::WindowPassed));
        else if (busReady)
            out.push_back(event(PlanEventKind::CaughtUp, f));
        else
            waiting.push_back(std::move(f));
    }
    catchUps_ = std::move(waiting);
    if (busReady) {
        for (PlanFiring& f : deferred_)
            out.push_back(event(PlanEventKind::Restored, f));
        deferred_.clear();
    }
}

std::vector<PlanEvent> PlanEngine::start(qint64 wallMs, qint64 monotonicMs, qint64 sinceSec, bool busReady)
{
    std::vector<PlanEvent> out;
    const qint64 nowSec = floorDiv(wallMs, 1000);
    started_ = true;
    lastWallMs_ = wallMs;
    lastMonotonicMs_ = monotonicMs;
    // This second itself is due now, as in any tick.
    for (const PlanFiring& f : firingsBetween(sinceSec, nowSec - 1))
        skipped(f, MissReason::NotRunning, nowSec, busReady, out);
    for (const PlanFiring& f : firingsBetween(std::max(sinceSec, nowSec - 1), nowSec))
        due(f, nowSec, busReady, out);
    handled_ = std::max(sinceSec, nowSec);
    settle(nowSec, busReady, out);
    return out;
}

std::vector<PlanEvent> PlanEngine::advance(qint64 wallMs, qint64 monotonicMs, bool busReady)
{
    if (!started_)
        return start(wallMs, monotonicMs, floorDiv(wallMs, 1000) - 1, busReady);
    std::vector<PlanEvent> out;
    const qint64 nowSec = floorDiv(wallMs, 1000);
    const qint64 expectedMs = lastWallMs_ + (monotonicMs - lastMonotonicMs_);
    const qint64 drift = wallMs - expectedMs;
    lastWallMs_ = wallMs;
    lastMonotonicMs_ = monotonicMs;
    if (drift > StepToleranceMs || drift < -StepToleranceMs) {
        PlanEvent step;
        step.kind = PlanEventKind::ClockStepped;
        step.stepFrom = floorDiv(expectedMs, 1000);
        step.stepTo = nowSec;
        out.push_back(step);
        if (drift > 0) {
            // The time that really passed is due as usual; the span jumped over is not.
            const qint64 passed = std::max(handled_, step.stepFrom);
            for (const PlanFiring& f : firingsBetween(handled_, passed))
                due(f, nowSec, busReady, out);
            for (const PlanFiring& f : firingsBetween(passed, nowSec))
                skipped(f, MissReason::ClockStep, nowSec, busReady, out);
        }
        // Back: what is again ahead up to handled_ has been handled and stays so.
    } else {
        for (const PlanFiring& f : firingsBetween(handled_, nowSec))
            due(f, nowSec, busReady, out);
    }
    handled_ = std::max(handled_, nowSec);
    settle(nowSec, busReady, out);
    return out;
}

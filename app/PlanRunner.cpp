#include "app/PlanRunner.h"

#include <QAction>
#include <QCheckBox>
#include <QMenuBar>
#include <QDateTime>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QScopeGuard>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <ctime>

#include "app/KadrelMain.h"
#include "dialogs/Harmonogram.h"
#include "files/FileRoom.h"
#include "plan/PlanFile.h"
#include "remote/RemoteService.h"
#include "unattended/EventLog.h"
#include "widgets/Seams.h"

namespace {

const FileRoom::Policy StampPolicy{.maxBytes = 64};

qint64 wallMsNow()
{
    if (seams().wallClockUs)
        return seams().wallClockUs() / 1000;
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 monotonicMsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QString firingLabel(const PlanFiring& f, const QDate& today)
{
    QString text = entryTimeText(f.entry);
    if (f.day != today)
        text = f.day.toString(Qt::ISODate) + QLatin1Char(' ') + text;
    if (!f.entry.name.isEmpty())
        text += QStringLiteral(" „%1”").arg(f.entry.name);
    return text + QStringLiteral(" — ") + describeAction(f.entry);
}

QString clockText(qint64 sec)
{
    return QDateTime::fromSecsSinceEpoch(sec).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

PlanRunner::PlanRunner(TForm1& form, QString planPath, QString stampPath)
    : QObject(&form), form_(form), planPath_(std::move(planPath)), stampPath_(std::move(stampPath))
{
    const PlanLoad load = loadPlanFile(planPath_);
    if (!load.damage.isEmpty()) {
        LogEvent(load.damage);
        damaged_ = true;
    } else if (load.present) {
        engine_.setPlan(load.plan);
        LogEvent(load.plan.enabled ? QStringLiteral("Harmonogram wczytany z %1").arg(planPath_)
                                   : QStringLiteral("Harmonogram wczytany z %1, wyłączony").arg(planPath_));
    }
    status_ = new QLabel(form.statusBar());
    status_->setObjectName(QStringLiteral("StatusPlan"));
    status_->setAccessibleName(QStringLiteral("Następne polecenie harmonogramu"));
    status_->hide();
    form.statusBar()->addPermanentWidget(status_);
    connect(&form, &TForm1::tickStarting, this, [this] { tick(); });
    // Beside "Zdalne sterowanie" rather than in "Opcje", which is closed while disconnected:
    // a plan is made before the clocks are reached.
    Harmonogram1 = new QAction(QStringLiteral("&Harmonogram"), form.MainMenu1);
    Harmonogram1->setObjectName(QStringLiteral("Harmonogram1"));
    form.MainMenu1->insertAction(form.Pomoc2, Harmonogram1);
    connect(Harmonogram1, &QAction::triggered, this, [this] { form_.guard([this] { HarmonogramClick(); }); });
    // The last second handled, so that the next run knows what it missed, and nothing twice.
    stampTimer_ = new QTimer(this);
    connect(stampTimer_, &QTimer::timeout, this, [this] { writeStamp(); });
    stampTimer_->start(60000);
    if (form.Remote)
        form.Remote->setPlanHost(this);
}

PlanRunner::~PlanRunner()
{
    if (form_.Remote)
        form_.Remote->setPlanHost(nullptr);
    writeStamp();
}

void PlanRunner::HarmonogramClick()
{
    editing_ = true;
    const auto done = qScopeGuard([this] { editing_ = false; });
    TFHarmonogram dialog(engine_.plan(), [this](const Plan& plan) { return savePlan(plan); },
                         [] { return wallMsNow() / 1000; }, &form_);
    dialog.exec();
}

QByteArray PlanRunner::planDocument() const
{
    return planToJson(engine_.plan());
}

std::optional<PlanRefusal> PlanRunner::replacePlan(const QByteArray& document)
{
    if (document.size() > PlanFileMaxBytes)
        return PlanRefusal{413, "body_too_large",
                           QStringLiteral("Harmonogram ma %1 B, a może mieć najwyżej %2 B.")
                               .arg(document.size())
                               .arg(PlanFileMaxBytes)};
    if (editing_)
        return PlanRefusal{
            409, "plan_in_use",
            QStringLiteral("Harmonogram jest otwarty do edycji w oknie programu; spróbuj po jego zamknięciu.")};
    Plan plan;
    if (const PlanFault fault = readPlanJson(document, plan); !fault.sound()) {
        QString message = fault.message;
        if (!message.endsWith(QLatin1Char('.')))
            message = QStringLiteral("Harmonogram odrzucony: %1.").arg(message);
        return PlanRefusal{400, "bad_plan", message, fault.dayType, fault.entry, fault.entryName};
    }
    if (const QString why = savePlan(plan); !why.isEmpty())
        return PlanRefusal{500, "not_saved", why};
    return std::nullopt;
}

std::vector<PlanFiringView> PlanRunner::nextFirings(int count) const
{
    std::vector<PlanFiringView> out;
    for (const PlanFiring& f : engine_.next(wallMsNow() / 1000, count))
        out.push_back({f.at, entryTimeText(f.entry), f.entry.name, describeAction(f.entry), f.entry.target, f.dayType});
    return out;
}

std::array<QString, 4> PlanRunner::currentEntries() const
{
    std::array<QString, 4> out;
    const qint64 now = wallMsNow() / 1000;
    for (const PlanFiring& f : engine_.firingsOn(engine_.localDate(now))) {
        if (f.at > now)
            break;
        for (int n = 1; n <= 4; ++n)
            if (!f.entry.name.isEmpty() && (f.entry.target == 0 || f.entry.target == n))
                out[static_cast<size_t>(n - 1)] = f.entry.name;
    }
    return out;
}

QString PlanRunner::savePlan(const Plan& plan)
{
    const QString why = savePlanFile(planPath_, plan);
    if (!why.isEmpty())
        return why;
    engine_.setPlan(plan);
    damaged_ = false;
    nextAt_ = -1;
    showNext(wallMsNow() / 1000);
    LogEvent(QStringLiteral("Harmonogram zapisany w %1%2").arg(planPath_, plan.enabled ? QString() : QStringLiteral(", wyłączony")));
    return {};
}

QString PlanRunner::busAbsence() const
{
    if (form_.busReady().code == CommandOutcome::Code::Disconnected)
        return QStringLiteral("brak połączenia z zegarami");
    return QStringLiteral("magistralę zajmuje aktualizacja firmware lub zmiana adresu");
}

QString PlanRunner::eventText(const PlanEvent& event, const QDate& today, const QString& why)
{
    const QString what = firingLabel(event.firing, today);
    const QString window = QStringLiteral("%1 min").arg(event.firing.entry.catchUpMinutes);
    switch (event.kind) {
    case PlanEventKind::Fired: return QStringLiteral("Harmonogram: %1").arg(what);
    case PlanEventKind::CaughtUp: return QStringLiteral("Harmonogram: nadrobiono %1").arg(what);
    case PlanEventKind::Deferred:
        return QStringLiteral("Harmonogram: %1 czeka na powrót łączności (%2)").arg(what, why);
    case PlanEventKind::Restored: return QStringLiteral("Harmonogram: po powrocie łączności %1").arg(what);
    case PlanEventKind::ClockStepped:
        return QStringLiteral("Harmonogram: zegar systemowy przestawiono z %1 na %2")
            .arg(clockText(event.stepFrom), clockText(event.stepTo));
    case PlanEventKind::Missed: break;
    }
    QString reason;
    switch (event.reason) {
    case MissReason::NotRunning: reason = QStringLiteral("program nie działał"); break;
    case MissReason::BusUnavailable: reason = why; break;
    case MissReason::ClockStep: reason = QStringLiteral("zegar systemowy przeskoczył tę chwilę"); break;
    case MissReason::WindowPassed:
        return QStringLiteral("Harmonogram: nie nadrobiono %1 (minęło okno nadrabiania %2)").arg(what, window);
    }
    if (event.willCatchUp)
        reason += QStringLiteral("; zostanie nadrobione po powrocie łączności, jeśli nastąpi w ciągu %1").arg(window);
    return QStringLiteral("Harmonogram: pominięto %1 (%2)").arg(what, reason);
}

void PlanRunner::tick()
{
    const bool ready = form_.busReady().ok();
    const qint64 wallMs = wallMsNow();
    const qint64 monoMs = monotonicMsNow();
    std::vector<PlanEvent> events;
    if (!engine_.started()) {
        // The last run's end when it is known, else today's start; no further back than a day.
        const qint64 nowSec = wallMs / 1000;
        qint64 since = engine_.instantOf(engine_.localDate(nowSec), 0) - 1;
        std::string stamp;
        if (FileRoom::read(QFile::encodeName(stampPath_).toStdString(), StampPolicy, stamp).ok()) {
            bool ok = false;
            const qint64 last = QByteArray::fromStdString(stamp).trimmed().toLongLong(&ok);
            if (ok && last <= nowSec)
                since = std::max(last, nowSec - 86400);
        }
        events = engine_.start(wallMs, monoMs, since, ready);
    } else {
        events = engine_.advance(wallMs, monoMs, ready);
    }
    const qint64 nowSec = wallMs / 1000;
    const QDate today = engine_.localDate(nowSec);
    const QString why = ready ? QString() : busAbsence();
    for (const PlanEvent& e : events) {
        if (e.kind == PlanEventKind::Fired || e.kind == PlanEventKind::CaughtUp || e.kind == PlanEventKind::Restored)
            apply(e.firing);
        LogEvent(eventText(e, today, why));
    }
    if (!events.empty()) {
        writeStamp();
        nextAt_ = -1;   // a firing or a step: the next one is worked out again
    }
    if (nextAt_ < 0 || nowSec >= nextAt_ || !events.empty() || today != shownOn_)
        showNext(nowSec);
}

void PlanRunner::showNext(qint64 nowSec)
{
    shownOn_ = engine_.localDate(nowSec);
    const std::vector<PlanFiring> next = engine_.next(nowSec, 1);
    if (next.empty()) {
        nextAt_ = nowSec + 3600;   // the plan's days may begin later; look again in an hour
        nextText_.clear();
        status_->setText(QStringLiteral("Harmonogram nie działa: plik jest uszkodzony (zob. Dziennik zdarzeń)"));
        status_->setVisible(damaged_);
        return;
    }
    const PlanFiring& f = next.front();
    nextAt_ = f.at;
    QString when = entryTimeText(f.entry);
    if (f.day != engine_.localDate(nowSec))
        when = f.day.toString(QStringLiteral("dd.MM")) + QLatin1Char(' ') + when;
    nextText_ = QStringLiteral("Następne: %1%2 — %3")
                    .arg(when, f.entry.name.isEmpty() ? QString() : QLatin1Char(' ') + f.entry.name,
                         describeAction(f.entry));
    status_->setText(nextText_);
    status_->show();
}

QString PlanRunner::nextText() const
{
    return nextText_;
}

// Through the controls the operator uses: the command slot via the stopwatch panel's buttons,
// the panel settings via the clock panels' own boxes, slider and mode buttons.
void PlanRunner::apply(const PlanFiring& firing)
{
    const PlanEntry& e = firing.entry;
    if (e.isCommand()) {
        StopwatchCommand command;
        command.target = e.target;
        switch (e.action) {
        case PlanAction::Start: command.action = StopwatchAction::Start; break;
        case PlanAction::Stop: command.action = StopwatchAction::Stop; break;
        case PlanAction::Zero: command.action = StopwatchAction::Zero; break;
        case PlanAction::Preset:
            command.action = StopwatchAction::Preset;
            command.minutes = QString::number(e.minutes);
            break;
        default:
            command.action = StopwatchAction::Set;
            command.minutes = QStringLiteral("%1").arg(e.minutes, 2, 10, QLatin1Char('0'));
            command.seconds = QStringLiteral("%1").arg(e.seconds, 2, 10, QLatin1Char('0'));
            break;
        }
        const CommandOutcome outcome = form_.runStopwatchCommand(command);
        if (!outcome.ok())
            LogEvent(QStringLiteral("Harmonogram: nie wykonano %1 (%2)").arg(describeAction(e), outcome.message));
        return;
    }
    ClockCommand setting;
    setting.value = e.value;
    switch (e.action) {
    case PlanAction::Mode: setting.control = ClockCommand::Control::Mode; break;
    case PlanAction::Brightness: setting.control = ClockCommand::Control::Brightness; break;
    case PlanAction::Display:
        setting.control = ClockCommand::Control::Display;
        setting.value = e.value ? 0 : 1;  // the plan's 1 blanks the display
        break;
    default: setting.control = ClockCommand::Control::Direction; break;
    }
    for (setting.clock = 1; setting.clock <= 4; ++setting.clock)
        if (e.target == 0 || e.target == setting.clock)
            form_.setPanelControl(setting);
}

void PlanRunner::writeStamp()
{
    if (!engine_.started())
        return;
    const FileRoom::Outcome saved = FileRoom::replace(QFile::encodeName(stampPath_).toStdString(),
                                                      std::to_string(engine_.handledUpTo()) + "\n", StampPolicy);
    if (!saved.ok())
        qWarning("plan: %s", saved.message.c_str());
}

#pragma once
// The plan at work in the window (and without a screen): at each tick it asks the engine what
// is due and does it through the window's own controls, as a click would, so the bus gets the
// same frames. Everything it does or leaves undone goes to the event log; the status bar shows
// the next firing. The remote API reads and replaces it through PlanHost.
#include <QObject>
#include <QString>

#include "plan/PlanEngine.h"
#include "remote/PlanHost.h"

class QAction;
class QLabel;
class QTimer;
class TForm1;

class PlanRunner : public QObject, public PlanHost {
    Q_OBJECT
public:
    // planPath: the plan's file; stampPath: where the last second handled is kept between runs.
    PlanRunner(TForm1& form, QString planPath, QString stampPath);
    ~PlanRunner() override;

    PlanEngine& engine() { return engine_; }
    // "Harmonogram" in the menu bar: the dialog, whose "Zapisz" writes the file and runs the plan.
    void HarmonogramClick();
    // Writes the plan and runs it from the next tick; empty or why not (Polish).
    QString savePlan(const Plan& plan);
    QAction* Harmonogram1 = nullptr;
    // "Następne: 10:45 Przerwa — START W", or empty with no firing ahead.
    QString nextText() const;
    // The log's words for one event.
    static QString eventText(const PlanEvent& event, const QDate& today, const QString& why);

    QByteArray planDocument() const override;
    std::optional<PlanRefusal> replacePlan(const QByteArray& document) override;
    std::vector<PlanFiringView> nextFirings(int count) const override;
    std::array<QString, 4> currentEntries() const override;

private:
    void tick();
    void apply(const PlanFiring& firing);
    void writeStamp();
    void showNext(qint64 nowSec);
    QString busAbsence() const;

    TForm1& form_;
    QString planPath_;
    QString stampPath_;
    PlanEngine engine_;
    QLabel* status_ = nullptr;
    QTimer* stampTimer_ = nullptr;
    qint64 nextAt_ = -1;          // the firing the status bar shows; -1 none ahead
    QDate shownOn_;               // the day it was shown on: a date beside it is dropped at midnight
    QString nextText_;
    bool damaged_ = false;        // the file there was not taken; the status bar says so
    bool editing_ = false;        // the dialog is open: a plan from afar would be lost at its "Zapisz"
};

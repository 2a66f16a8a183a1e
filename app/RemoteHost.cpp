// The window's side of the remote operation: what the page and the API may do and see. Every
// command goes through the stopwatch panel's own controls, so the bus gets the same bytes and
// the window shows the change.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QMetaMethod>
#include <QScopeGuard>

#include "app/KadrelMain.h"
#include "widgets/LinkGauge.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "dialogs/Zdalne.h"
#include "remote/RefusalTally.h"
#include "remote/RemoteService.h"
#include "unattended/EventLog.h"
#include "serial/ComPort.h"

namespace {

// The two-digit fields take what their key filter lets through; the remote side gets a refusal
// instead of silently losing characters.
bool fieldTextPasses(const QString& text)
{
    if (text.size() > 2)
        return false;
    for (const QChar c : text)
        if (!TForm1::KeyPasses(QString(c)) || !c.isDigit())
            return false;
    return true;
}

} // namespace

void TForm1::startRemote()
{
    Remote = new RemoteService(*this, configFolder() + QStringLiteral("/zdalne.json"), this);
    Remote->setClockPanels(this);
    // Refusals of anyone without the token are counted, a line a minute per address: a
    // stranger's flood would otherwise push the program's own lines out of the log.
    auto* refusals = new RefusalTally([](const QString& line) { LogEvent(line); }, 60000, Remote);
    // Who asked for what from afar, and whether it was done: the user agent and the body are
    // the sender's bytes, made one clean line first.
    connect(Remote, &RemoteService::commandAnswered, this, [refusals](const RemoteCommandRecord& r) {
        const QString command = r.path.section(QLatin1Char('/'), -1);
        bool v4 = false;
        const quint32 ipv4 = r.sender.toIPv4Address(&v4);   // a dual-stack socket's ::ffff:a.b.c.d
        const QString sender = v4 ? QHostAddress(ipv4).toString() : r.sender.toString();
        if (r.access != RemoteAccess::Operator && r.status >= 400)
            return refusals->count(sender);
        const QString outcome = r.status >= 200 && r.status < 300
                                    ? QStringLiteral("wykonane")
                                    : QStringLiteral("odrzucone (%1 %2)").arg(r.status).arg(QString::fromLatin1(r.code));
        LogEvent(QStringLiteral("Zdalne polecenie %1 %2 od %3 (%4): %5")
                     .arg(EventLog::clean(command.toUtf8(), 40), EventLog::clean(r.body, 120), sender,
                          EventLog::clean(r.userAgent), outcome));
    });
    const QString why = Remote->startFromSettings();
    if (!Remote->settings().damage.isEmpty())
        LogEvent(Remote->settings().damage);
    if (!why.isEmpty())
        qWarning("remote operation: %s", qUtf8Printable(why));
}

bool TForm1::portOpen() const
{
    return ComPort->Connected();
}

void TForm1::stopRemote()
{
    delete Remote;
    Remote = nullptr;
}

void TForm1::Zdalne1Click()
{
    const auto release = qScopeGuard([this] {
        delete FZdalne;
        FZdalne = nullptr;
    });
    FZdalne = new TFZdalne(this, Remote, Mqtt);
    FZdalne->exec();
}

PanelView TForm1::panelView() const
{
    PanelView v;
    v.connected = ComPort->Connected() && !GroupZegary->isHidden();
    v.polling = v.connected && Link.LinkActive == 1;
    v.status = Edit_status->text();
    v.target = 0;
    for (int n = 1; n <= 4; ++n)
        if (TargetButtons[n]->isChecked())
            v.target = n;
    v.minutes = Medit->text();
    v.seconds = Sedit->text();
    v.pending = Link.PendingCommand;
    for (int n = 1; n <= 4; ++n) {
        const ClockPanel& c = Clocks[n];
        ClockView& out = v.clocks[n - 1];
        out.number = n;
        out.active = c.boxActiv->isChecked();
        out.name = c.name->text();
        out.time = c.czas->text();
        out.highlight = BackColor(c.czas) == NamedColor::clRed;
        out.displayOff = c.wbox->isChecked();
        out.voltage = c.uzas->text();
        out.voltageLow = FontColor(c.uzas) == NamedColor::clRed;
        out.link = c.bar->Progress();
        out.linkMissed = c.bar->Color() == NamedColor::clRed;
        out.rtc = Link.RtcMode[n] == 1;
        out.silent = silentMark_[n];
        out.brightness = c.jasnosc->value();
    }
    return v;
}

CommandOutcome TForm1::busReady() const
{
    using Code = CommandOutcome::Code;
    if (!ComPort->Connected() || GroupZegary->isHidden())
        return {Code::Disconnected, QStringLiteral("Brak połączenia z zegarami – polecenie nie zostało wysłane")};
    if (Link.LinkActive != 1)
        return {Code::Paused,
                QStringLiteral("Trwa aktualizacja firmware lub zmiana adresu – polecenie nie zostało wysłane")};
    return {};
}

CommandOutcome TForm1::runStopwatchCommand(const StopwatchCommand& command)
{
    using Code = CommandOutcome::Code;
    if (CommandOutcome away = busReady(); !away.ok())
        return away;

    // Everything is checked before any control changes: a refusal leaves the panel as it was.
    int preset = -1;
    if (command.action == StopwatchAction::Set) {
        if (!fieldTextPasses(command.minutes))
            return {Code::BadInput, QStringLiteral("Minuty: najwyżej dwie cyfry (00–99)")};
        if (!fieldTextPasses(command.seconds))
            return {Code::BadInput, QStringLiteral("Sekundy: najwyżej dwie cyfry (00–59)")};
    }
    if (command.action == StopwatchAction::Preset) {
        const QString wanted = command.minutes.size() == 1 ? QStringLiteral("0") + command.minutes : command.minutes;
        for (size_t i = 0; i < PresetButtons.size(); ++i)
            if (PresetButtons[i]->text() == QString::number(wanted.toInt()) + QStringLiteral(" m")
                && fieldTextPasses(wanted))
                preset = static_cast<int>(i);
        if (preset < 0)
            return {Code::BadInput, QStringLiteral("Nie ma takiego czasu gotowego; są: 2, 3, 4, 6, 8, 10, 15, 20, 30 i 60 minut")};
    }

    if (command.target == 0)
        Z1_4->click();
    else if (command.target >= 1 && command.target <= 4)
        TargetButtons[command.target]->click();

    switch (command.action) {
    case StopwatchAction::Start: Button3->click(); break;
    case StopwatchAction::Stop: Button4->click(); break;
    case StopwatchAction::Zero: Button11->click(); break;
    case StopwatchAction::Preset: PresetButtons[static_cast<size_t>(preset)]->click(); break;
    case StopwatchAction::Set:
        // Typed, then left (padding, seconds above 59 become 59), then "USTAW".
        Medit->setText(command.minutes);
        guard([this] { MeditExit(); });
        Sedit->setText(command.seconds);
        guard([this] { SeditExit(); });
        Button5->click();
        break;
    case StopwatchAction::Target: break;
    }
    return {};
}

// The remote server's one watch: a new one replaces it, an empty one ends it.
void TForm1::watchPanels(std::function<void()> changed)
{
    disconnect(panelsWatch_);
    if (changed)
        panelsWatch_ = connect(this, &TForm1::panelsChanged, this, std::move(changed));
}

// The panel's controls are wired to panelsChanged when somebody first listens, so that a
// window nobody watches pays nothing for it.
void TForm1::connectNotify(const QMetaMethod& signal)
{
    QMainWindow::connectNotify(signal);
    if (panelsWired_ || signal != QMetaMethod::fromSignal(&TForm1::panelsChanged))
        return;
    panelsWired_ = true;
    const auto notify = [this] { emit panelsChanged(); };
    connect(Edit_status, &QLineEdit::textChanged, this, notify);
    connect(Medit, &QLineEdit::textChanged, this, notify);
    connect(Sedit, &QLineEdit::textChanged, this, notify);
    connect(Z1_4, &QRadioButton::toggled, this, notify);
    for (int n = 1; n <= 4; ++n) {
        const ClockPanel& c = Clocks[n];
        connect(TargetButtons[n], &QRadioButton::toggled, this, notify);
        connect(c.czas, &QLineEdit::textChanged, this, notify);
        connect(c.name, &QLineEdit::textChanged, this, notify);
        connect(c.boxActiv, &QCheckBox::toggled, this, notify);
        connect(c.wbox, &QCheckBox::toggled, this, notify);
        connect(c.btnZ, &QPushButton::clicked, this, notify);
        connect(c.btnS, &QPushButton::clicked, this, notify);
    }
}

// The window's side of the broker link: the bridge reads the panels and runs commands through
// StopwatchHost, as the remote page does, and hears of changes from the window's own signals.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSlider>

#include "app/KadrelMain.h"
#include "files/ConfigPaths.h"
#include "mqtt/MqttBridge.h"
#include "remote/RemoteService.h"
#include "serial/ComPort.h"
#include "unattended/EventLog.h"
#include "widgets/LinkTraffic.h"

void TForm1::startMqtt()
{
    Mqtt = new MqttBridge(*this, this, configFolder() + QStringLiteral("/mqtt.json"), QStringLiteral(KADREL_VERSION), this);
    connect(this, &TForm1::panelsChanged, Mqtt, &MqttBridge::noteChange);
    // The voltage and the link gauge change with the replies, not with the panels' fields.
    connect(Traffic, &LinkTraffic::replyAssembled, Mqtt, &MqttBridge::noteChange);
    connect(Mqtt, &MqttBridge::commandAnswered, this, [](const MqttCommandRecord& r) {
        const QString client = r.client.isEmpty() ? QStringLiteral("bez nazwy") : EventLog::clean(r.client.toUtf8(), 80);
        LogEvent(QStringLiteral("Polecenie MQTT %1 od klienta %2: %3")
                     .arg(EventLog::clean(r.payload, 120), client, EventLog::clean(r.result, 200)));
    });
    // A broker that cannot be reached is told once per change of reason, not at every retry.
    connect(Mqtt, &MqttBridge::stateChanged, this, [this, told = QString()]() mutable {
        const QString why = Mqtt->lastError().section(QStringLiteral("; następna próba"), 0, 0);
        if (why != told && !why.isEmpty())
            LogEvent(why);
        told = why;
    });
    Mqtt->startFromSettings();
    // The view page shows the site's other buses as the broker link hears them.
    if (Remote)
        Remote->setCampus(Mqtt);
}

void TForm1::stopMqtt()
{
    if (Remote)
        Remote->setCampus(nullptr);
    delete Mqtt;   // "offline" goes out before the line closes
    Mqtt = nullptr;
}

// The panel's own controls, clicked as the operator would: the tick then reads them as always.
CommandOutcome TForm1::runClockCommand(const ClockCommand& command)
{
    if (CommandOutcome away = busReady(); !away.ok())
        return away;
    if (!Clocks[static_cast<size_t>(command.clock)].boxActiv->isChecked())
        return {CommandOutcome::Code::BadInput, QStringLiteral("Zegar %1 jest nieaktywny").arg(command.clock)};
    setPanelControl(command);
    return {};
}

void TForm1::setPanelControl(const ClockCommand& command)
{
    const ClockPanel& c = Clocks[static_cast<size_t>(command.clock)];
    const bool on = command.value == 1;
    switch (command.control) {
    case ClockCommand::Control::Mode: (on ? c.btnZ : c.btnS)->click(); break;
    case ClockCommand::Control::Display:
        if (c.wbox->isChecked() == on)  // checked: the display is off
            c.wbox->click();
        break;
    case ClockCommand::Control::Brightness: c.jasnosc->setValue(command.value); break;
    case ClockCommand::Control::Direction:
        if (c.boxDol->isChecked() != on)
            c.boxDol->click();
        break;
    }
}

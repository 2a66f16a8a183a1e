#pragma once
// The JSON of the remote API, version 1: the state document and the commands' bodies. No
// sockets here; the server hands these the bytes and sends back what they make.
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <optional>
#include <vector>

#include "remote/CampusHost.h"
#include "remote/ClockPanelHost.h"
#include "remote/PlanHost.h"
#include "remote/StopwatchHost.h"

namespace RemoteApi {

constexpr qsizetype MaxBodyBytes = 4096;

// What the pages show of the plan: each clock's current entry and the next three firings.
struct PlanGlance {
    std::array<QString, 4> current;
    std::vector<PlanFiringView> next;
};

// {"version":1,"connection":{...},"stopwatch":{...},"clocks":[...]}, and with a plan its
// "plan":{"next":[...]} and each clock's "entry".
QByteArray stateJson(const PanelView& view, const PlanGlance* plan = nullptr);
// {"next":[{"at":"2027-03-04T10:45:00+01:00","time":"10:45","name":"Przerwa",...}, ...]}
QByteArray firingsJson(const std::vector<PlanFiringView>& firings);

// {"version":1,"linked":…,"site":…,"bus":…,"name":…,"buses":[…]}: the other buses of the
// site for the view page (GET /api/v1/campus).
QByteArray campusJson(const CampusView& view);

struct Error {
    int status = 400;           // HTTP status
    QByteArray code;            // stable, for programs: "bad_json", "bad_target", ...
    QString message;            // Polish, for people
    QJsonObject extra = {};     // further members of the error document ("entry")
};
QByteArray errorJson(const Error& error);
QByteArray okJson();

// The command named by the last path element ("start", "stop", "set", "zero", "preset",
// "target") with its JSON body (may be empty for those that need no field).
struct Parsed {
    std::optional<StopwatchCommand> command;
    Error error;
};
Parsed parseCommand(const QString& name, const QByteArray& body);

// A command's body as an object: an empty body is {}, one over MaxBodyBytes or not a JSON
// object is refused.
std::optional<QJsonObject> commandBody(const QByteArray& body, Error& error);

// The panels' own commands, by the last path element (or the broker's "command"):
// "mode" {"clock":N,"mode":"RTC"|"Stoper"}, "display" {"clock":N,"on":true|false},
// "brightness" {"clock":N,"value":0..3}, "direction" {"clock":N,"down":true|false}.
// Not matched when `name` is none of them; else the command or the refusal.
struct ClockParsed {
    bool matched = false;
    std::optional<ClockCommand> command;
    Error error;
};
ClockParsed parseClockCommand(const QString& name, const QJsonObject& body);

// The refusal of a command the window did not take.
Error refusal(const CommandOutcome& outcome);
// The refusal of a plan, naming its first bad entry in "entry" when it is an entry's.
Error refusal(const PlanRefusal& refused);

} // namespace RemoteApi

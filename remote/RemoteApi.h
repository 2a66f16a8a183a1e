#pragma once
// The JSON of the remote API, version 1: the state document and the commands' bodies. No
// sockets here; the server hands these the bytes and sends back what they make.
#include <QByteArray>
#include <QString>
#include <optional>

#include "remote/CampusHost.h"
#include "remote/StopwatchHost.h"

namespace RemoteApi {

constexpr qsizetype MaxBodyBytes = 4096;

// {"version":1,"connection":{...},"stopwatch":{...},"clocks":[...]}
QByteArray stateJson(const PanelView& view);

// {"version":1,"linked":…,"site":…,"bus":…,"name":…,"buses":[…]}: the other buses of the
// site for the view page (GET /api/v1/campus).
QByteArray campusJson(const CampusView& view);

struct Error {
    int status = 400;           // HTTP status
    QByteArray code;            // stable, for programs: "bad_json", "bad_target", ...
    QString message;            // Polish, for people
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

// The refusal of a command the window did not take.
Error refusal(const CommandOutcome& outcome);

} // namespace RemoteApi

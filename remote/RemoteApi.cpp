#include "remote/RemoteApi.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace RemoteApi {

namespace {

QString targetName(int target)
{
    return target >= 1 && target <= 4 ? QString::number(target) : QStringLiteral("W");
}

const char* pendingName(int pending)
{
    switch (pending) {
    case 1: return "start";
    case 2: return "stop";
    case 3: return "set";
    default: return "none";
    }
}

Error bad(QByteArray code, const QString& message)
{
    return Error{400, std::move(code), message};
}

// "W" / "w" / 0 / "0": all clocks; 1..4 or "1".."4": one clock.
std::optional<int> parseTarget(const QJsonValue& v)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d == 0 || d == 1 || d == 2 || d == 3 || d == 4)
            return static_cast<int>(d);
        return std::nullopt;
    }
    if (v.isString()) {
        const QString s = v.toString();
        if (s == QLatin1String("W") || s == QLatin1String("w") || s == QLatin1String("0"))
            return 0;
        if (s.size() == 1 && s[0] >= QLatin1Char('1') && s[0] <= QLatin1Char('4'))
            return s[0].digitValue();
    }
    return std::nullopt;
}

// Minutes and seconds come as text (what the field would hold) or as a whole number.
std::optional<QString> fieldText(const QJsonValue& v)
{
    if (v.isString())
        return v.toString();
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d >= 0 && d <= 99 && d == static_cast<int>(d))
            return QString::number(static_cast<int>(d));
    }
    return std::nullopt;
}

QJsonObject firingJson(const PlanFiringView& f)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(f.at);
    return QJsonObject{
        {QStringLiteral("at"), local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate)},
        {QStringLiteral("time"), f.time},
        {QStringLiteral("name"), f.name},
        {QStringLiteral("action"), f.action},
        {QStringLiteral("target"), targetName(f.target)},
        {QStringLiteral("dayType"), f.dayType},
    };
}

QJsonArray firingsArray(const std::vector<PlanFiringView>& firings)
{
    QJsonArray out;
    for (const PlanFiringView& f : firings)
        out.append(firingJson(f));
    return out;
}

} // namespace

QByteArray firingsJson(const std::vector<PlanFiringView>& firings)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("next"), firingsArray(firings)}}).toJson(QJsonDocument::Compact);
}

QByteArray stateJson(const PanelView& view, const PlanGlance* plan)
{
    QJsonObject connection{
        {QStringLiteral("connected"), view.connected},
        {QStringLiteral("polling"), view.polling},
        {QStringLiteral("status"), view.status},
    };
    QJsonObject stopwatch{
        {QStringLiteral("target"), targetName(view.target)},
        {QStringLiteral("minutes"), view.minutes},
        {QStringLiteral("seconds"), view.seconds},
        {QStringLiteral("pending"), QLatin1String(pendingName(view.pending))},
    };
    QJsonArray clocks;
    for (const ClockView& c : view.clocks) {
        QJsonObject clock{
            {QStringLiteral("number"), c.number},
            {QStringLiteral("name"), c.name},
            {QStringLiteral("active"), c.active},
            {QStringLiteral("time"), c.time},
            {QStringLiteral("negative"), c.time.startsWith(QLatin1Char('-'))},
            {QStringLiteral("highlight"), c.highlight},
            {QStringLiteral("displayOff"), c.displayOff},
            {QStringLiteral("voltage"), c.voltage},
            {QStringLiteral("voltageLow"), c.voltageLow},
            {QStringLiteral("link"), c.link},
            {QStringLiteral("linkMissed"), c.linkMissed},
            {QStringLiteral("mode"), c.rtc ? QStringLiteral("rtc") : QStringLiteral("stoper")},
        };
        if (plan && c.number >= 1 && c.number <= 4)
            clock.insert(QStringLiteral("entry"), plan->current[static_cast<size_t>(c.number - 1)]);
        clocks.append(clock);
    }
    QJsonObject root{
        {QStringLiteral("version"), 1},
        {QStringLiteral("connection"), connection},
        {QStringLiteral("stopwatch"), stopwatch},
        {QStringLiteral("clocks"), clocks},
    };
    if (plan)
        root.insert(QStringLiteral("plan"), QJsonObject{{QStringLiteral("next"), firingsArray(plan->next)}});
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QByteArray campusJson(const CampusView& view)
{
    QJsonArray buses;
    for (const CampusBus& b : view.others) {
        QJsonArray clocks;
        for (const CampusClock& c : b.clocks)
            clocks.append(QJsonObject{
                {QStringLiteral("number"), c.number},
                {QStringLiteral("name"), c.name},
                {QStringLiteral("time"), c.time},
                {QStringLiteral("negative"), c.negative},
                {QStringLiteral("highlight"), c.highlight},
                {QStringLiteral("displayOff"), c.displayOff},
            });
        buses.append(QJsonObject{
            {QStringLiteral("bus"), b.level},
            {QStringLiteral("name"), b.name.isEmpty() ? b.level : b.name},
            {QStringLiteral("online"), b.online},
            {QStringLiteral("connected"), b.connected},
            {QStringLiteral("clocks"), clocks},
        });
    }
    return QJsonDocument(QJsonObject{
                             {QStringLiteral("version"), 1},
                             {QStringLiteral("linked"), view.linked},
                             {QStringLiteral("site"), view.site},
                             {QStringLiteral("bus"), view.bus},
                             {QStringLiteral("name"), view.name},
                             {QStringLiteral("buses"), buses},
                         })
        .toJson(QJsonDocument::Compact);
}

QByteArray errorJson(const Error& error)
{
    QJsonObject o = error.extra;
    o.insert(QStringLiteral("ok"), false);
    o.insert(QStringLiteral("error"), QString::fromLatin1(error.code));
    o.insert(QStringLiteral("message"), error.message);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray okJson()
{
    return QByteArrayLiteral("{\"ok\":true}");
}

Parsed parseCommand(const QString& name, const QByteArray& body)
{
    Parsed out;
    StopwatchCommand cmd;
    if (name == QLatin1String("start"))
        cmd.action = StopwatchAction::Start;
    else if (name == QLatin1String("stop"))
        cmd.action = StopwatchAction::Stop;
    else if (name == QLatin1String("set"))
        cmd.action = StopwatchAction::Set;
    else if (name == QLatin1String("zero"))
        cmd.action = StopwatchAction::Zero;
    else if (name == QLatin1String("preset"))
        cmd.action = StopwatchAction::Preset;
    else if (name == QLatin1String("target"))
        cmd.action = StopwatchAction::Target;
    else {
        out.error = Error{404, "unknown_command", QStringLiteral("Nieznane polecenie: %1").arg(name.left(40))};
        return out;
    }

    const std::optional<QJsonObject> given = commandBody(body, out.error);
    if (!given)
        return out;
    const QJsonObject& o = *given;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() != QLatin1String("target") && it.key() != QLatin1String("minutes")
            && it.key() != QLatin1String("seconds")) {
            out.error = bad("unknown_field", QStringLiteral("Nieznane pole: %1").arg(it.key().left(40)));
            return out;
        }
    }

    if (o.contains(QStringLiteral("target"))) {
        const std::optional<int> t = parseTarget(o.value(QStringLiteral("target")));
        if (!t) {
            out.error = bad("bad_target", QStringLiteral("Cel musi być „W” albo numerem zegara od 1 do 4"));
            return out;
        }
        cmd.target = *t;
    } else if (cmd.action == StopwatchAction::Target) {
        out.error = bad("missing_target", QStringLiteral("Brak pola „target”"));
        return out;
    }

    const bool wantsMinutes = cmd.action == StopwatchAction::Set || cmd.action == StopwatchAction::Preset;
    const bool wantsSeconds = cmd.action == StopwatchAction::Set;
    if (!wantsMinutes && o.contains(QStringLiteral("minutes"))) {
        out.error = bad("unexpected_field", QStringLiteral("To polecenie nie przyjmuje minut"));
        return out;
    }
    if (!wantsSeconds && o.contains(QStringLiteral("seconds"))) {
        out.error = bad("unexpected_field", QStringLiteral("To polecenie nie przyjmuje sekund"));
        return out;
    }
    if (wantsMinutes) {
        const std::optional<QString> m = fieldText(o.value(QStringLiteral("minutes")));
        if (!m) {
            out.error = bad("bad_minutes", QStringLiteral("Brak minut albo minuty nie są liczbą"));
            return out;
        }
        cmd.minutes = *m;
    }
    if (wantsSeconds) {
        const QJsonValue s = o.value(QStringLiteral("seconds"));
        if (s.isUndefined()) {
            cmd.seconds = QStringLiteral("00");
        } else {
            const std::optional<QString> t = fieldText(s);
            if (!t) {
                out.error = bad("bad_seconds", QStringLiteral("Sekundy nie są liczbą"));
                return out;
            }
            cmd.seconds = *t;
        }
    }
    out.command = cmd;
    return out;
}

std::optional<QJsonObject> commandBody(const QByteArray& body, Error& error)
{
    if (body.size() > MaxBodyBytes) {
        error = Error{413, "body_too_large", QStringLiteral("Treść żądania jest za duża")};
        return std::nullopt;
    }
    if (body.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        error = bad("bad_json", QStringLiteral("Treść żądania nie jest poprawnym obiektem JSON"));
        return std::nullopt;
    }
    return doc.object();
}

ClockParsed parseClockCommand(const QString& name, const QJsonObject& body)
{
    ClockParsed out;
    ClockCommand cmd;
    QString field;
    if (name == QLatin1String("mode")) {
        cmd.control = ClockCommand::Control::Mode;
        field = QStringLiteral("mode");
    } else if (name == QLatin1String("display")) {
        cmd.control = ClockCommand::Control::Display;
        field = QStringLiteral("on");
    } else if (name == QLatin1String("brightness")) {
        cmd.control = ClockCommand::Control::Brightness;
        field = QStringLiteral("value");
    } else if (name == QLatin1String("direction")) {
        cmd.control = ClockCommand::Control::Direction;
        field = QStringLiteral("down");
    } else {
        return out;
    }
    out.matched = true;
    const auto refuse = [&out](const char* code, const QString& message) {
        out.error = bad(code, message);
        return out;
    };
    for (auto it = body.begin(); it != body.end(); ++it)
        if (it.key() != QLatin1String("clock") && it.key() != field)
            return refuse("unknown_field", QStringLiteral("Nieznane pole: %1").arg(it.key().left(40)));
    const QJsonValue clock = body.value(QStringLiteral("clock"));
    const double n = clock.toDouble(-1);
    if (!clock.isDouble() || n != static_cast<int>(n) || n < 1 || n > 4)
        return refuse("bad_clock", QStringLiteral("Numer zegara musi być liczbą od 1 do 4"));
    cmd.clock = static_cast<int>(n);
    const QJsonValue v = body.value(field);
    switch (cmd.control) {
    case ClockCommand::Control::Mode:
        if (v.toString() == QLatin1String("RTC"))
            cmd.value = 1;
        else if (v.toString() == QLatin1String("Stoper"))
            cmd.value = 0;
        else
            return refuse("bad_mode", QStringLiteral("Tryb musi być „RTC” albo „Stoper”"));
        break;
    case ClockCommand::Control::Display:
    case ClockCommand::Control::Direction:
        if (!v.isBool())
            return refuse(cmd.control == ClockCommand::Control::Display ? "bad_display" : "bad_direction",
                          QStringLiteral("Pole „%1” musi być wartością true albo false").arg(field));
        cmd.value = v.toBool() ? 1 : 0;
        break;
    case ClockCommand::Control::Brightness: {
        const double b = v.toDouble(-1);
        if (!v.isDouble() || b != static_cast<int>(b) || b < 0 || b > 3)
            return refuse("bad_brightness", QStringLiteral("Jasność musi być liczbą od 0 do 3"));
        cmd.value = static_cast<int>(b);
        break;
    }
    }
    out.command = cmd;
    return out;
}

Error refusal(const PlanRefusal& refused)
{
    Error e{refused.status, refused.code, refused.message};
    if (refused.entry > 0)
        e.extra.insert(QStringLiteral("entry"),
                       QJsonObject{{QStringLiteral("dayType"), refused.dayType},
                                   {QStringLiteral("index"), refused.entry},
                                   {QStringLiteral("name"), refused.entryName}});
    return e;
}

Error refusal(const CommandOutcome& outcome)
{
    switch (outcome.code) {
    case CommandOutcome::Code::Disconnected: return Error{409, "disconnected", outcome.message};
    case CommandOutcome::Code::Paused: return Error{409, "paused", outcome.message};
    case CommandOutcome::Code::BadInput: return Error{400, "bad_input", outcome.message};
    case CommandOutcome::Code::Done: break;
    }
    return Error{500, "internal", outcome.message};
}

} // namespace RemoteApi

#include "plan/PlanFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <cerrno>

#include "files/FileRoom.h"

namespace {

const FileRoom::Policy Policy{.maxBytes = static_cast<size_t>(PlanFileMaxBytes)};
const QString Format = QStringLiteral("kadrel-harmonogram");

struct ActionName {
    PlanAction action;
    const char* name;
};
constexpr ActionName Actions[] = {
    {PlanAction::Preset, "preset"},         {PlanAction::Set, "set"},   {PlanAction::Start, "start"},
    {PlanAction::Stop, "stop"},             {PlanAction::Zero, "zero"}, {PlanAction::Mode, "mode"},
    {PlanAction::Brightness, "brightness"}, {PlanAction::Display, "display"},
    {PlanAction::Direction, "direction"},
};

QString place(const QString& dayType, qsizetype index, const QString& name)
{
    return QStringLiteral("Typ dnia „%1”, wpis %2%3")
        .arg(dayType)
        .arg(index + 1)
        .arg(name.isEmpty() ? QString() : QStringLiteral(" („%1”)").arg(name));
}

// "HH:MM" or "HH:MM:SS", two digits each; the ranges are validatePlan's.
bool parseTime(const QString& text, PlanEntry& e)
{
    static const QRegularExpression form(QStringLiteral("^(\\d\\d):(\\d\\d)(?::(\\d\\d))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    e.hour = m.captured(1).toInt();
    e.minute = m.captured(2).toInt();
    e.second = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    return true;
}

bool isInt(const QJsonValue& v)
{
    return v.isDouble() && v.toDouble() == static_cast<double>(v.toInt());
}

QString readEntry(const QJsonValue& value, const QString& dayType, qsizetype index, PlanEntry& e)
{
    if (!value.isObject())
        return QStringLiteral("%1: to nie jest obiekt JSON.").arg(place(dayType, index, {}));
    const QJsonObject o = value.toObject();
    e.name = o.value(QStringLiteral("name")).toString();
    const QString at = place(dayType, index, e.name);
    if (!parseTime(o.value(QStringLiteral("time")).toString(), e))
        return QStringLiteral("%1: czas „%2” nie ma postaci GG:MM ani GG:MM:SS.")
            .arg(at, o.value(QStringLiteral("time")).toString());
    const QJsonValue days = o.value(QStringLiteral("days"));
    if (!days.isUndefined()) {
        if (!days.isArray())
            return QStringLiteral("%1: „days” nie jest listą dni tygodnia.").arg(at);
        e.weekdays = 0;
        for (const QJsonValue d : days.toArray()) {
            if (!isInt(d) || d.toInt() < 1 || d.toInt() > 7)
                return QStringLiteral("%1: dzień tygodnia musi być liczbą od 1 (poniedziałek) do 7 (niedziela).").arg(at);
            e.weekdays |= 1u << (d.toInt() - 1);
        }
    }
    const QJsonValue target = o.value(QStringLiteral("target"));
    if (target.toString() == QLatin1String("W"))
        e.target = 0;
    else if (isInt(target) && target.toInt() >= 1 && target.toInt() <= 4)
        e.target = target.toInt();
    else
        return QStringLiteral("%1: zegar %2 nie istnieje (W albo zegar 1–4).")
            .arg(at,
                 target.isDouble() ? QString::number(target.toDouble())
                                   : QStringLiteral("„%1”").arg(target.toString()));
    const QString action = o.value(QStringLiteral("action")).toString();
    bool known = false;
    for (const ActionName& a : Actions)
        if (action == QLatin1String(a.name)) {
            e.action = a.action;
            known = true;
        }
    if (!known)
        return QStringLiteral("%1: nieznane polecenie „%2”.").arg(at, action);
    for (const char* key : {"minutes", "seconds", "value", "catchUpMinutes"}) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isUndefined() && !isInt(v))
            return QStringLiteral("%1: „%2” nie jest liczbą całkowitą.").arg(at, QLatin1String(key));
    }
    e.minutes = o.value(QStringLiteral("minutes")).toInt();
    e.seconds = o.value(QStringLiteral("seconds")).toInt();
    e.value = o.value(QStringLiteral("value")).toInt();
    const QJsonValue catchUp = o.value(QStringLiteral("catchUpMinutes"));
    e.catchUp = !catchUp.isUndefined();
    e.catchUpMinutes = catchUp.toInt();
    return {};
}

QDate readDate(const QJsonValue& v)
{
    return QDate::fromString(v.toString(), Qt::ISODate);
}

} // namespace

QString planFilePath(const QString& configFolder)
{
    return configFolder + QStringLiteral("/harmonogram.json");
}

PlanFault readPlanJson(const QByteArray& json, Plan& out)
{
    const auto fault = [](QString message) { return PlanFault{std::move(message), {}, 0, {}}; };
    if (json.size() > PlanFileMaxBytes)
        return fault(
            QStringLiteral("harmonogram ma %1 B, a może mieć najwyżej %2 B").arg(json.size()).arg(PlanFileMaxBytes));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return fault(QStringLiteral("błąd składni JSON w bajcie %1: %2").arg(error.offset).arg(error.errorString()));
    if (!doc.isObject() || doc.object().value(QStringLiteral("format")).toString() != Format)
        return fault(QStringLiteral("to nie jest harmonogram programu Kadrel"));
    const QJsonObject o = doc.object();
    const QJsonValue version = o.value(QStringLiteral("version"));
    if (!isInt(version) || version.toInt() < 1)
        return fault(QStringLiteral("brak numeru wersji"));
    if (version.toInt() > Plan::Version)
        return fault(QStringLiteral("zapisany przez nowszą wersję programu (wersja %1)").arg(version.toInt()));

    Plan plan;
    // "false" or 0 would otherwise read as switched on.
    if (const QJsonValue on = o.value(QStringLiteral("enabled")); !on.isUndefined() && !on.isBool())
        return fault(QStringLiteral("„enabled” nie jest wartością true ani false"));
    plan.enabled = o.value(QStringLiteral("enabled")).toBool(true);
    if (const QJsonValue p = o.value(QStringLiteral("pausedUntil")); !p.isUndefined() && !p.isNull()) {
        plan.pausedUntil = readDate(p);
        if (!plan.pausedUntil.isValid())
            return fault(QStringLiteral("data wstrzymania „%1” nie ma postaci RRRR-MM-DD").arg(p.toString()));
    }
    // A member of the wrong kind would read as empty: a plan sent with "dayTypes": {} must not
    // pass for a plan with nothing in it.
    for (const char* list : {"dayTypes", "week", "exceptions"}) {
        const QJsonValue v = o.value(QLatin1String(list));
        if (!v.isUndefined() && !v.isArray())
            return fault(QStringLiteral("„%1” nie jest listą").arg(QLatin1String(list)));
    }
    const QJsonArray types = o.value(QStringLiteral("dayTypes")).toArray();
    for (qsizetype t = 0; t < types.size(); ++t) {
        const QJsonObject to = types.at(t).toObject();
        if (!types.at(t).isObject() || !to.value(QStringLiteral("name")).isString()
            || !(to.value(QStringLiteral("entries")).isArray() || to.value(QStringLiteral("entries")).isUndefined()))
            return fault(QStringLiteral("typ dnia nr %1 nie jest obiektem z nazwą i listą wpisów").arg(t + 1));
        DayType d;
        d.name = to.value(QStringLiteral("name")).toString();
        const QJsonArray entries = to.value(QStringLiteral("entries")).toArray();
        for (qsizetype i = 0; i < entries.size(); ++i) {
            PlanEntry e;
            if (QString why = readEntry(entries.at(i), d.name, i, e); !why.isEmpty())
                return PlanFault{std::move(why), d.name, static_cast<int>(i) + 1, e.name};
            d.entries.push_back(e);
        }
        plan.dayTypes.push_back(std::move(d));
    }
    const QJsonArray week = o.value(QStringLiteral("week")).toArray();
    if (week.size() > 7)
        return fault(QStringLiteral("tydzień ma więcej niż siedem dni"));
    for (qsizetype w = 0; w < week.size(); ++w) {
        if (!week.at(w).isString())
            return fault(QStringLiteral("dzień tygodnia nr %1 nie ma nazwy typu dnia").arg(w + 1));
        plan.week[static_cast<size_t>(w)] = week.at(w).toString();
    }
    const QJsonArray exceptions = o.value(QStringLiteral("exceptions")).toArray();
    for (qsizetype x = 0; x < exceptions.size(); ++x) {
        if (!exceptions.at(x).isObject())
            return fault(QStringLiteral("wyjątek nr %1 nie jest obiektem JSON").arg(x + 1));
        const QJsonObject xo = exceptions.at(x).toObject();
        PlanException e;
        e.name = xo.value(QStringLiteral("name")).toString();
        e.from = readDate(xo.value(QStringLiteral("from")));
        e.to = xo.contains(QStringLiteral("to")) ? readDate(xo.value(QStringLiteral("to"))) : e.from;
        e.dayType = xo.value(QStringLiteral("dayType")).toString();
        plan.exceptions.push_back(e);
    }
    if (PlanFault why = findPlanFault(plan); !why.sound())
        return why;
    out = std::move(plan);
    return {};
}

QString planFromJson(const QByteArray& json, Plan& plan)
{
    return readPlanJson(json, plan).message;
}

QByteArray planToJson(const Plan& plan)
{
    QJsonObject o;
    o.insert(QStringLiteral("format"), Format);
    o.insert(QStringLiteral("version"), Plan::Version);
    o.insert(QStringLiteral("enabled"), plan.enabled);
    if (plan.pausedUntil.isValid())
        o.insert(QStringLiteral("pausedUntil"), plan.pausedUntil.toString(Qt::ISODate));
    QJsonArray types;
    for (const DayType& d : plan.dayTypes) {
        QJsonArray entries;
        for (const PlanEntry& e : d.entries) {
            QJsonObject eo;
            eo.insert(QStringLiteral("time"), QStringLiteral("%1:%2:%3")
                                                  .arg(e.hour, 2, 10, QLatin1Char('0'))
                                                  .arg(e.minute, 2, 10, QLatin1Char('0'))
                                                  .arg(e.second, 2, 10, QLatin1Char('0')));
            if (!e.name.isEmpty())
                eo.insert(QStringLiteral("name"), e.name);
            QJsonArray days;
            for (int day = 1; day <= 7; ++day)
                if (e.runsOn(day))
                    days.append(day);
            eo.insert(QStringLiteral("days"), days);
            eo.insert(QStringLiteral("target"), e.target == 0 ? QJsonValue(QStringLiteral("W")) : QJsonValue(e.target));
            for (const ActionName& a : Actions)
                if (a.action == e.action)
                    eo.insert(QStringLiteral("action"), QLatin1String(a.name));
            if (e.action == PlanAction::Preset || e.action == PlanAction::Set)
                eo.insert(QStringLiteral("minutes"), e.minutes);
            if (e.action == PlanAction::Set)
                eo.insert(QStringLiteral("seconds"), e.seconds);
            if (!e.isCommand())
                eo.insert(QStringLiteral("value"), e.value);
            if (e.catchUp)
                eo.insert(QStringLiteral("catchUpMinutes"), e.catchUpMinutes);
            entries.append(eo);
        }
        types.append(QJsonObject{{QStringLiteral("name"), d.name}, {QStringLiteral("entries"), entries}});
    }
    o.insert(QStringLiteral("dayTypes"), types);
    QJsonArray week;
    for (const QString& w : plan.week)
        week.append(w);
    o.insert(QStringLiteral("week"), week);
    QJsonArray exceptions;
    for (const PlanException& e : plan.exceptions)
        exceptions.append(QJsonObject{{QStringLiteral("name"), e.name},
                                      {QStringLiteral("from"), e.from.toString(Qt::ISODate)},
                                      {QStringLiteral("to"), e.to.toString(Qt::ISODate)},
                                      {QStringLiteral("dayType"), e.dayType}});
    o.insert(QStringLiteral("exceptions"), exceptions);
    return QJsonDocument(o).toJson();
}

namespace {

QString damaged(const QString& path, QString why)
{
    while (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    return QStringLiteral("Plik harmonogramu %1 nie został wczytany (%2), więc pozostaje bez zmian, "
                          "a program działa bez harmonogramu.")
        .arg(path, why);
}

} // namespace

namespace {

QString readWhole(const QString& path, Plan& plan, int& error)
{
    std::string bytes;
    const FileRoom::Outcome read = FileRoom::read(QFile::encodeName(path).toStdString(), Policy, bytes);
    error = read.error;
    if (!read.ok())
        return QString::fromStdString(read.reason);
    return planFromJson(QByteArray::fromStdString(bytes), plan);
}

} // namespace

QString readPlanFile(const QString& path, Plan& plan)
{
    int error = 0;
    return readWhole(path, plan, error);
}

PlanLoad loadPlanFile(const QString& path)
{
    PlanLoad load;
    int error = 0;
    if (const QString why = readWhole(path, load.plan, error); !why.isEmpty()) {
        if (error != ENOENT)
            load.damage = damaged(path, why);
        return load;
    }
    load.present = true;
    return load;
}

QString savePlanFile(const QString& path, const Plan& plan)
{
    if (const QString why = validatePlan(plan); !why.isEmpty())
        return why;
    const QByteArray json = planToJson(plan);
    if (json.size() > PlanFileMaxBytes)
        return QStringLiteral("Harmonogram jest za duży, by go zapisać (dozwolone do %1 B).").arg(PlanFileMaxBytes);
    const FileRoom::Outcome saved =
        FileRoom::replace(QFile::encodeName(path).toStdString(), json.toStdString(), Policy);
    return saved.ok() ? QString() : QString::fromStdString(saved.message);
}

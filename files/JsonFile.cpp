#include "files/JsonFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cerrno>

namespace JsonFile {

Read read(const QString& path, const FileRoom::Policy& policy)
{
    Read r;
    std::string text;
    const FileRoom::Outcome outcome = FileRoom::read(QFile::encodeName(path).toStdString(), policy, text);
    if (!outcome.ok()) {
        r.missing = outcome.error == ENOENT;
        if (!r.missing)
            r.damage = QString::fromStdString(outcome.reason);
        return r;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError)
        r.damage = QStringLiteral("błąd składni JSON w bajcie %1: %2").arg(error.offset).arg(error.errorString());
    else if (!doc.isObject())
        r.damage = QStringLiteral("to nie jest obiekt JSON");
    else
        r.object = doc.object();
    return r;
}

QString write(const QString& path, const QJsonObject& object, const FileRoom::Policy& policy)
{
    const FileRoom::Outcome saved =
        FileRoom::replace(QFile::encodeName(path).toStdString(), QJsonDocument(object).toJson().toStdString(), policy);
    return saved.ok() ? QString() : QString::fromStdString(saved.message);
}

QString wrongKind(const QJsonObject& object, std::initializer_list<Field> fields)
{
    for (const Field& f : fields) {
        const QJsonValue v = object.value(QLatin1String(f.key));
        if (v.isUndefined())
            continue;
        switch (f.kind) {
        case Kind::Bool:
            if (!v.isBool())
                return QStringLiteral("„%1” nie jest wartością true ani false").arg(QLatin1String(f.key));
            break;
        case Kind::Text:
            if (!v.isString())
                return QStringLiteral("„%1” nie jest tekstem").arg(QLatin1String(f.key));
            break;
        case Kind::Number:
            if (!v.isDouble())
                return QStringLiteral("„%1” nie jest liczbą").arg(QLatin1String(f.key));
            break;
        }
    }
    return {};
}

} // namespace JsonFile

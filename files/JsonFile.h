#pragma once
// The settings files that are one JSON object (the remote operation's, the broker link's):
// read and written whole through FileRoom, owner-only, as their secrets ask.
#include <QJsonObject>
#include <QString>
#include <initializer_list>

#include "files/FileRoom.h"

namespace JsonFile {

// At most 64 KiB, 0600 whatever the umask, and a file its owner made read-only stays as it is.
inline const FileRoom::Policy OwnerOnly{.maxBytes = 64 * 1024 - 1, .ownerOnly = true, .keepReadOnly = true};

struct Read {
    QJsonObject object;
    bool missing = false;   // no file: the caller's defaults, and no damage
    QString damage;         // why the file that is there could not be taken (Polish, without the path)
};
Read read(const QString& path, const FileRoom::Policy& policy = OwnerOnly);
// Empty, or why it could not be written, naming the file.
QString write(const QString& path, const QJsonObject& object, const FileRoom::Policy& policy = OwnerOnly);

enum class Kind { Bool, Text, Number };
struct Field {
    const char* key;
    Kind kind;
};
// Empty when each field is absent or of its kind; else why the first one is not (Polish).
QString wrongKind(const QJsonObject& object, std::initializer_list<Field> fields);

} // namespace JsonFile

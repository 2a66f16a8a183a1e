#pragma once
// The other buses of the site as the broker keeps them (kadrel/SITE/+/status, name and state),
// for the view page. Anyone on the broker may publish there: only a bus level the program
// itself would make is taken, at most MaxBuses buses (the one heard of longest ago makes room
// for a newcomer), a state document of at most MaxDocumentBytes and a name of at most
// MaxNameBytes; what is kept is each field checked alone, and the rest of a message is dropped.
#include <QByteArray>
#include <map>

#include "remote/CampusHost.h"

class MqttCampus {
public:
    static constexpr int MaxBuses = 32;
    static constexpr qsizetype MaxDocumentBytes = 8 * 1024;
    static constexpr qsizetype MaxNameBytes = 256;

    // `base` is this bus's own, "kadrel/SITE/BUS/": its own messages are not kept.
    explicit MqttCampus(const QByteArray& base);

    // A message on one of the site's topics. False when it was not one, or was dropped.
    bool take(const QByteArray& topic, const QByteArray& payload);
    void clear() { buses_.clear(); }
    QList<CampusBus> buses() const;

private:
    struct Heard {
        QString name;
        bool offline = false;
        bool hasState = false;
        bool connected = false;
        QList<CampusClock> clocks;
        quint64 heard = 0;      // when it last said anything, in messages taken
    };

    QByteArray site_;       // "kadrel/SITE/"
    QByteArray own_;        // "BUS"
    std::map<QByteArray, Heard> buses_;
    quint64 heard_ = 0;
};

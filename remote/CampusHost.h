#pragma once
// The other buses of the site, as the broker link last heard of them, for the view page. The
// server reads them through this and knows nothing of the broker; what it gets has been checked
// and rebuilt field by field, never passed on as a stranger sent it.
#include <QList>
#include <QString>

struct CampusClock {
    int number = 0;             // 1..4
    QString name;
    QString time;               // "12:34", "-5:30" or empty
    bool negative = false;
    bool highlight = false;
    bool displayOff = false;
};

struct CampusBus {
    QString level;              // its topic level: "kort-2"
    QString name;               // as its operator wrote it; empty when it has not said
    bool online = true;         // its status is not "offline"
    bool connected = false;     // its port is open, by its last state document
    QList<CampusClock> clocks;  // the active ones
};

struct CampusView {
    bool linked = false;        // on the broker now
    QString site;               // the site's topic level
    QString bus;                // this bus's topic level
    QString name;               // this bus's name
    QList<CampusBus> others;    // in the order of their levels
};

class CampusHost {
public:
    // Asking may start the listening it answers from: the first answer can be empty.
    virtual CampusView campusView() = 0;

protected:
    ~CampusHost() = default;
};

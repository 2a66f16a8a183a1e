#pragma once
// Refused requests from senders without the operator's token, counted per address and written
// as one line per interval: a stranger's flood cannot push the program's own lines out of the
// event log, and the log still says who knocked and how often.
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class RefusalTally : public QObject {
public:
    explicit RefusalTally(std::function<void(const QString&)> write, int intervalMs = 60000, QObject* parent = nullptr);
    ~RefusalTally() override;   // what was counted is written

    void count(const QString& sender);
    // One line per address counted since the last one, in the order they came.
    void flush();

    // "42 odrzucone żądania z 10.1.2.3 w ciągu minuty"
    static QString line(int count, const QString& sender);

private:
    std::function<void(const QString&)> write_;
    QTimer interval_;
    QHash<QString, int> counts_;
    QStringList order_;
};

#pragma once
// "Monitor magistrali": a modeless window that shows the bus traffic as the main window sees
// it, one line per frame sent, frame received, acknowledgement or thrown-away bytes, each with
// the wall-clock time (hh:mm:ss.mmm) and the time since the monitor was opened, the bytes and
// their meaning (link/Describe.h), and per-clock counters below.
//
// It is the main window's LinkObserver from its creation on, also while hidden, so reopening it
// shows what happened meanwhile. It only looks: nothing it does touches the port or the link
// state, and a failure inside it is swallowed rather than let into the window's hot paths.
// History is bounded: the oldest lines go beyond HistoryLimit lines or HistoryBytes of text,
// and a line shows at most LineBytesShown bytes, saying how many it left out. Lines reach the
// table in batches, at most ten a second, so a flood costs one repaint per batch, not one per
// line; a batch goes in right after the frame that a tick sent, so its repaint does not fall on
// the next tick. "Pauza" stops the log (the counters go on counting) until "Wznów", which notes how
// many lines were skipped.
#include <QAbstractTableModel>
#include <QDialog>
#include <QElapsedTimer>
#include <QTime>
#include <deque>
#include <functional>
#include <vector>

#include "link/Describe.h"
#include "link/LinkObserver.h"

class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;
class MonitorHost;
class QTimer;

// The bounded log behind the monitor's table.
class TMonitorLog : public QAbstractTableModel {
public:
    enum Column { ColTime, ColSinceOpen, ColDirection, ColBytes, ColMeaning, ColumnCount };
    enum class Kind { Sent, Received, Dropped, Note };
    struct Line {
        QTime wall;
        qint64 sinceOpenMs = 0;
        Kind kind = Kind::Note;
        QString bytes;     // "5A 01 01 60 BC"
        QString meaning;
    };

    explicit TMonitorLog(int limit, qint64 byteLimit, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void append(Line line);   // drops the oldest lines beyond either limit
    void append(std::vector<Line> lines);
    void clear();
    qint64 bytesUsed() const { return bytes_; }   // what the lines hold, as counted for the limit
    // Hex of at most `shown` bytes; a longer run ends in "… pominięto N B".
    static QString bytesText(const ByteString& bytes, size_t shown);
    const Line& at(int row) const { return lines_[static_cast<size_t>(row)]; }
    // One line of text, as saved: time, time since opening, direction, bytes, meaning.
    QString text(int row) const;
    static QString text(const Line& line);

private:
    static qint64 cost(const Line& line);
    int limit_;
    qint64 byteLimit_;
    qint64 bytes_ = 0;
    std::deque<Line> lines_;
};

class TFMonitor : public QDialog, public LinkObserver {
    Q_OBJECT
public:
    static constexpr int HistoryLimit = 10000;
    // A garbage flood makes lines of kilobytes: bounded by bytes too, and each line cut short.
    static constexpr qint64 HistoryBytes = 8 * 1024 * 1024;
    static constexpr size_t LineBytesShown = 96;   // a firmware block (69 bytes) stays whole
    static constexpr int MinFlushMs = 80;    // batches reach the table at most about ten times a second
    static constexpr int IdleFlushMs = 250;  // lines with no frame sent after them wait this long

    // Installs itself as the owner's observer; the destructor removes it again.
    explicit TFMonitor(MonitorHost* owner);
    ~TFMonitor() override;

    // LinkObserver
    void frameSent(const ByteString& frame, const FrameAccounting* accounting) override;
    void bytesReceived(const ByteString& chunk) override;
    void replyAssembled(const AssembleReport& report) override;

    void ButtonPauzaClick();     // "Pauza" / "Wznów"
    void ButtonWyczyscClick();   // "Wyczyść": log and counters
    void ButtonZapiszClick();    // "Zapisz…": the log as a UTF-8 text file
    void SaveLog(const QString& path) const;   // EInOutError when the file cannot be written
    bool Paused() const { return paused_; }

    // Lines reach the table in batches (see flush); these show every line recorded so far.
    const TMonitorLog& Log() const
    {
        flush();
        return *log_;
    }
    QStringList Lines() const;
    const BusTrace& Trace() const { return trace_; }

    // The time of an event: milliseconds since the monitor opened and the wall clock. Tests may
    // replace it.
    struct Stamp {
        qint64 sinceOpenMs = 0;
        QTime wall;
    };
    std::function<Stamp()> clock;

    QTableView* LogView = nullptr;
    QTableWidget* Liczniki = nullptr;   // rows: clocks 1..4, then the rest; columns as the counters
    QPushButton* ButtonPauza = nullptr;
    QPushButton* ButtonWyczysc = nullptr;
    QPushButton* ButtonZapisz = nullptr;
    QPushButton* ButtonDziennik = nullptr;   // "Dziennik zdarzeń…": the event log beside the traffic
    QLabel* LabelStan = nullptr;

private:
    void record(const std::vector<TraceEntry>& entries);
    void append(TMonitorLog::Kind kind, const QString& bytes, const QString& meaning);
    // Moves the lines recorded since the last flush into the table: one insertion, one scroll,
    // one repaint for however many lines a flood brought.
    void flush() const;
    void showCounters();
    void showState();

    MonitorHost* owner_;
    TMonitorLog* log_;
    BusTrace trace_;
    bool paused_ = false;
    qint64 skipped_ = 0;
    mutable std::vector<TMonitorLog::Line> pending_;
    QTimer* flushTimer_ = nullptr;
    mutable QElapsedTimer sinceFlush_;
};

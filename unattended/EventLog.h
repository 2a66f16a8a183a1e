#pragma once
// What happened while nobody watched: one line per event, with the local time, appended to
// kadrel.log in the state folder ($XDG_STATE_HOME/kadrel, per profile). A writer thread does
// the file work, so a slow disk or a full one never holds the tick: write() only queues. The
// file is kept near MaxBytes by renaming it to kadrel.log.1 (one old file kept). A folder or
// file that cannot be written is reported once (standard error and the failure line), and the
// lines still reach the viewer's memory.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class EventLog {
public:
    static constexpr qint64 DefaultMaxBytes = 1024 * 1024;
    static constexpr int MemoryLines = 2000;      // what the viewer shows without the file
    static constexpr size_t QueueLimit = 4096;    // lines waiting for the writer; more are counted, not kept

    // folder: where kadrel.log goes (made, owner-only, if missing). mirror: each line also to
    // standard error (the program without a screen).
    EventLog(QString folder, bool mirror, qint64 maxBytes = DefaultMaxBytes);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Queues one event. Control characters become visible escapes, so one event is one line.
    void write(const QString& text);
    // Waits until the queue is written (tests, and the end of the program).
    void flush();

    QString folder() const { return folder_; }
    QString filePath() const;
    // The last lines written in this run, oldest first (timestamped, as in the file).
    QStringList recentLines() const;
    // Why the file is not being written, empty while it is.
    QString failure() const;
    // Called on the writing thread (the caller of write()) for every line: a live viewer.
    void setListener(std::function<void(const QString& line)> listener);

    // Text from outside (a remote client's user agent): invalid UTF-8 and control characters
    // as \xNN, at most maxChars characters kept.
    static QString clean(const QByteArray& bytes, int maxChars = 200);
    // The state folder of a profile: $XDG_STATE_HOME/kadrel[/PROFILE], default ~/.local/state.
    static QString stateFolder(const QString& profile);

private:
    void run();
    bool writeLine(const std::string& line);
    bool openFile();
    void report(const QString& why);

    QString folder_;
    bool mirror_;
    qint64 maxBytes_;
    int fd_ = -1;
    qint64 size_ = 0;
    std::chrono::steady_clock::time_point nextTry_{};   // a failing file is tried again from then

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    QStringList recent_;
    size_t overflow_ = 0;
    size_t lost_ = 0;           // lines the file missed while it failed
    bool busy_ = false;
    bool stop_ = false;
    QString failure_;
    bool reported_ = false;
    std::function<void(const QString&)> listener_;
    std::thread thread_;
};

// One line of the event log, from anywhere above. The program points the sink at its log;
// unset, nothing is logged.
using EventSink = std::function<void(const QString& line)>;
EventSink& eventSink();
void LogEvent(const QString& line);

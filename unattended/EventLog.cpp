#include "unattended/EventLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/ErrnoText.h"
#include "base/SafeOpen.h"

namespace {

QString errnoText(int error)
{
    return QString::fromStdString(ErrnoText(error));
}

// Format characters (bidirectional overrides and isolates, zero-width ones, the byte-order
// mark) would reorder or hide what a reader of the log sees: written by their number.
QString formatEscape(char32_t u)
{
    return QStringLiteral("\\u{") + QString::number(static_cast<uint>(u), 16).toUpper().rightJustified(4, QLatin1Char('0'))
           + QLatin1Char('}');
}

// Lines in the file are single lines whatever the text carried.
QString escapeControls(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Format)
            out += formatEscape(u);
        else
            out += c;
    }
    return out;
}

} // namespace

EventLog::EventLog(QString folder, bool mirror, qint64 maxBytes)
    : folder_(std::move(folder)), mirror_(mirror), maxBytes_(maxBytes)
{
    thread_ = std::thread([this] { run(); });
}

EventLog::~EventLog()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

QString EventLog::filePath() const
{
    return folder_ + QStringLiteral("/kadrel.log");
}

QString EventLog::stateFolder(const QString& profile)
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    const QString folder = base + QStringLiteral("/kadrel");
    return profile.isEmpty() ? folder : folder + QLatin1Char('/') + profile;
}

QString EventLog::clean(const QByteArray& bytes, int maxChars)
{
    QString out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n && out.size() < maxChars) {
        const unsigned char b = p[i];
        int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        bool valid = len > 0 && i + len <= n;
        for (int k = 1; valid && k < len; ++k)
            valid = (p[i + k] & 0xC0) == 0x80;
        QString piece;
        if (valid)
            piece = QString::fromUtf8(reinterpret_cast<const char*>(p + i), len);
        // Overlong forms and surrogates decode to U+FFFD: the byte was not text.
        if (!valid || piece.contains(QChar(0xFFFD))) {
            out += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
            ++i;
            continue;
        }
        // By the bytes: the decoder drops a byte-order mark.
        char32_t point = len == 1 ? b : b & (0x7F >> len);
        for (int k = 1; k < len; ++k)
            point = (point << 6) | (p[i + k] & 0x3F);
        if (QChar::category(point) == QChar::Other_Format)
            out += formatEscape(point);
        else
            out += escapeControls(piece);
        i += len;
    }
    if (i < n)
        out += QStringLiteral("…");
    return out;
}

void EventLog::write(const QString& text)
{
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) +
                         QLatin1Char(' ') + escapeControls(text);
    std::function<void(const QString&)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recent_.append(line);
        if (recent_.size() > MemoryLines)
            recent_.removeFirst();
        if (queue_.size() < QueueLimit)
            queue_.push_back(line.toStdString());
        else
            ++overflow_;
        listener = listener_;
    }
    wake_.notify_one();
    if (mirror_)
        std::fprintf(stderr, "kadrel: %s\n", qUtf8Printable(text));
    if (listener)
        listener(line);
}

void EventLog::flush()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() && !busy_) || stop_; });
}

QStringList EventLog::recentLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return recent_;
}

QString EventLog::failure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void EventLog::setListener(std::function<void(const QString&)> listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void EventLog::report(const QString& why)
{
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tell = !reported_ || failure_ != why;
        failure_ = why;
        reported_ = true;
    }
    // Once per failure: a full disk must not turn every event into a second line of complaint.
    if (tell)
        std::fprintf(stderr, "kadrel: dziennik zdarzeń nie jest zapisywany: %s\n", qUtf8Printable(why));
}

bool EventLog::openFile()
{
    const QByteArray dir = QFile::encodeName(folder_);
    const bool existed = QFileInfo(folder_).isDir();
    if (!QDir().mkpath(folder_)) {
        struct stat st {};
        if (::stat(dir.constData(), &st) == 0 && !S_ISDIR(st.st_mode))
            report(QStringLiteral("%1 nie jest folderem").arg(folder_));
        else
            report(QStringLiteral("nie można utworzyć folderu %1").arg(folder_));
        return false;
    }
    // Remote clients' addresses and user agents are in it: the owner's alone.
    if (!existed)
        ::chmod(dir.constData(), 0700);
    const QByteArray path = QFile::encodeName(filePath());
    // Never through a link, which could make the program append to a file somebody else chose.
    SafeOpen::Opened file = SafeOpen::open(path.toStdString(), O_WRONLY | O_APPEND | O_CREAT, SafeOpen::Links::Refuse, 0600);
    switch (file.refusal) {
    case SafeOpen::Refusal::None: break;
    case SafeOpen::Refusal::Link: report(QStringLiteral("%1 jest dowiązaniem symbolicznym").arg(filePath())); return false;
    case SafeOpen::Refusal::NotRegular: report(QStringLiteral("%1 nie jest zwykłym plikiem").arg(filePath())); return false;
    case SafeOpen::Refusal::Folder:
    case SafeOpen::Refusal::System: report(QStringLiteral("%1: %2").arg(filePath(), errnoText(file.error))); return false;
    }
    const int fd = file.fd.release();
    const struct stat& st = file.st;
    fd_ = fd;
    size_ = st.st_size;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_.clear();
        reported_ = false;
    }
    return true;
}

bool EventLog::writeLine(const std::string& line)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point& nextTry = nextTry_;
    if (fd_ < 0) {
        // A failing folder is tried again now and then, not at every line.
        if (Clock::now() < nextTry || !openFile()) {
            if (fd_ < 0)
                nextTry = Clock::now() + std::chrono::seconds(10);
            return false;
        }
    }
    const std::string text = line + '\n';
    if (size_ > 0 && size_ + static_cast<qint64>(text.size()) > maxBytes_) {
        ::close(fd_);
        fd_ = -1;
        const QByteArray path = QFile::encodeName(filePath());
        if (::rename(path.constData(), (path + ".1").constData()) != 0) {
            report(QStringLiteral("nie można przenieść %1 do %1.1: %2").arg(filePath(), errnoText(errno)));
            nextTry = Clock::now() + std::chrono::seconds(10);
            return false;
        }
        if (!openFile())
            return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            report(QStringLiteral("%1: %2").arg(filePath(), errnoText(n < 0 ? errno : ENOSPC)));
            // A line cut short still ends, so the next one starts on its own line.
            if (done > 0 && ::write(fd_, "\n", 1) == 1)
                ++size_;
            ::close(fd_);
            fd_ = -1;
            nextTry = Clock::now() + std::chrono::seconds(10);
            return false;
        }
        done += static_cast<size_t>(n);
        size_ += n;
    }
    return true;
}

void EventLog::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty() && stop_)
            break;
        std::deque<std::string> batch;
        batch.swap(queue_);
        if (overflow_ > 0) {
            lost_ += overflow_;
            overflow_ = 0;
        }
        busy_ = true;
        lock.unlock();
        for (const std::string& line : batch) {
            if (lost_ > 0) {
                // Said in the file itself, so a gap in it is not taken for a quiet night.
                const std::string gap = line.substr(0, 23) + " (pominięto " + std::to_string(lost_) + " wierszy dziennika)";
                if (!writeLine(gap)) {
                    ++lost_;
                    continue;
                }
                lost_ = 0;
            }
            if (!writeLine(line))
                ++lost_;
        }
        lock.lock();
        busy_ = false;
        idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

EventSink& eventSink()
{
    static EventSink sink;
    return sink;
}

void LogEvent(const QString& line)
{
    if (eventSink())
        eventSink()(line);
}

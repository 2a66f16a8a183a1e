#include "dialogs/Monitor.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <memory>

#include "widgets/AccessibleNames.h"
#include "dialogs/DialogHosts.h"
#include "widgets/Seams.h"
#include "widgets/LinkTraffic.h"
#include "base/ErrnoText.h"
#include "base/Exceptions.h"
#include "base/SafeOpen.h"

namespace {

// Hex wide enough for the longest reply (11 data bytes); only firmware blocks run longer.
constexpr int BytesColumnChars = 15 * 3 - 1;

QString arrowOf(TMonitorLog::Kind kind)
{
    switch (kind) {
    case TMonitorLog::Kind::Sent: return QStringLiteral("→");
    case TMonitorLog::Kind::Received: return QStringLiteral("←");
    case TMonitorLog::Kind::Dropped: return QStringLiteral("×");
    case TMonitorLog::Kind::Note: break;
    }
    return QStringLiteral("·");
}

QString sinceOpenText(qint64 ms)
{
    return QStringLiteral("+%1,%2 s").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

// "1 wpis", "2 wpisy", "5 wpisów", "22 wpisy"
QString entries(qint64 n)
{
    const qint64 tens = n % 100, units = n % 10;
    const char* word = n == 1 ? "wpis" : (units >= 2 && units <= 4 && (tens < 12 || tens > 14)) ? "wpisy" : "wpisów";
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(word));
}

TMonitorLog::Kind kindOf(TraceKind kind)
{
    switch (kind) {
    case TraceKind::Sent: return TMonitorLog::Kind::Sent;
    case TraceKind::Received: return TMonitorLog::Kind::Received;
    case TraceKind::Dropped: return TMonitorLog::Kind::Dropped;
    }
    return TMonitorLog::Kind::Note;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

// ---- log model -------------------------------------------------------------------------------

TMonitorLog::TMonitorLog(int limit, qint64 byteLimit, QObject* parent)
    : QAbstractTableModel(parent), limit_(limit), byteLimit_(byteLimit)
{
}

qint64 TMonitorLog::cost(const Line& line)
{
    return static_cast<qint64>(sizeof(Line)) + (line.bytes.size() + line.meaning.size()) * static_cast<qint64>(sizeof(QChar));
}

QString TMonitorLog::bytesText(const ByteString& bytes, size_t shown)
{
    if (bytes.size() <= shown)
        return QString::fromStdString(toHex(bytes));
    return QString::fromStdString(toHex(bytes.substr(0, shown)))
           + QStringLiteral(" … pominięto %1 B").arg(static_cast<qulonglong>(bytes.size() - shown));
}

int TMonitorLog::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

int TMonitorLog::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TMonitorLog::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Line& line = at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case ColTime: return line.wall.toString(QStringLiteral("hh:mm:ss.zzz"));
        case ColSinceOpen: return sinceOpenText(line.sinceOpenMs);
        case ColDirection: return arrowOf(line.kind);
        case ColBytes: return line.bytes;
        case ColMeaning: return line.meaning;
        default: return {};
        }
    case Qt::ToolTipRole:
        // A firmware block's 69 bytes do not fit the column.
        return index.column() == ColBytes && line.bytes.size() > BytesColumnChars ? QVariant(line.bytes) : QVariant();
    case Qt::ForegroundRole:
        switch (line.kind) {
        case Kind::Received: return QColor(0x1B, 0x5E, 0x20);
        case Kind::Dropped: return QColor(0xB0, 0x00, 0x20);
        case Kind::Note: return QColor(0x60, 0x60, 0x60);
        case Kind::Sent: break;
        }
        return {};
    case Qt::FontRole:
        if (index.column() == ColDirection) {
            // The arrows of a fixed-width font are small; the direction should read at a glance.
            QFont f = QApplication::font();
            f.setBold(true);
            return f;
        }
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == ColSinceOpen)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        if (index.column() == ColDirection)
            return QVariant(Qt::AlignCenter);
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant TMonitorLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColTime: return QStringLiteral("Czas");
    case ColSinceOpen: return QStringLiteral("Od otwarcia");
    case ColDirection: return QString();
    case ColBytes: return QStringLiteral("Bajty");
    case ColMeaning: return QStringLiteral("Znaczenie");
    default: return {};
    }
}

void TMonitorLog::append(Line line)
{
    std::vector<Line> one;
    one.push_back(std::move(line));
    append(std::move(one));
}

void TMonitorLog::append(std::vector<Line> lines)
{
    if (limit_ <= 0 || lines.empty())
        return;
    // Of the new lines, only those that fit the limits together.
    size_t first = lines.size();
    qint64 size = 0;
    while (first > 0 && static_cast<int>(lines.size() - first) < limit_
           && size + cost(lines[first - 1]) <= byteLimit_)
        size += cost(lines[--first]);
    if (first == lines.size())
        first = lines.size() - 1, size = cost(lines.back());   // one line always shows
    const int adding = static_cast<int>(lines.size() - first);
    // Then the oldest lines go until the new ones fit.
    int drop = 0;
    qint64 freed = 0;
    while (drop < static_cast<int>(lines_.size())
           && (static_cast<int>(lines_.size()) - drop + adding > limit_ || bytes_ - freed + size > byteLimit_))
        freed += cost(lines_[static_cast<size_t>(drop++)]);
    if (drop > 0) {
        beginRemoveRows(QModelIndex(), 0, drop - 1);
        lines_.erase(lines_.begin(), lines_.begin() + drop);
        bytes_ -= freed;
        endRemoveRows();
    }
    const int row = static_cast<int>(lines_.size());
    beginInsertRows(QModelIndex(), row, row + adding - 1);
    for (size_t i = first; i < lines.size(); ++i)
        lines_.push_back(std::move(lines[i]));
    bytes_ += size;
    endInsertRows();
}

void TMonitorLog::clear()
{
    beginResetModel();
    lines_.clear();
    bytes_ = 0;
    endResetModel();
}

QString TMonitorLog::text(int row) const
{
    return text(at(row));
}

QString TMonitorLog::text(const Line& line)
{
    const QChar space(QLatin1Char(' '));
    return line.wall.toString(QStringLiteral("hh:mm:ss.zzz")) + space + sinceOpenText(line.sinceOpenMs).rightJustified(12)
           + space + arrowOf(line.kind) + space + line.bytes.leftJustified(BytesColumnChars) + space + line.meaning;
}

// ---- window ----------------------------------------------------------------------------------

TFMonitor::TFMonitor(MonitorHost* owner)
    : QDialog(owner ? owner->hostWindow() : nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint),
      owner_(owner), log_(new TMonitorLog(HistoryLimit, HistoryBytes, this))
{
    setObjectName(QStringLiteral("FMonitor"));
    setWindowTitle(QStringLiteral("Monitor magistrali"));
    setModal(false);

    auto opened = std::make_shared<QElapsedTimer>();
    opened->start();
    clock = [opened] { return Stamp{opened->elapsed(), QTime::currentTime()}; };

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(6);

    auto* bar = new QHBoxLayout;
    ButtonPauza = button(this, "ButtonPauza", QStringLiteral("Pauza"));
    ButtonWyczysc = button(this, "ButtonWyczysc", QStringLiteral("Wyczyść"));
    ButtonZapisz = button(this, "ButtonZapisz", QStringLiteral("Zapisz…"));
    ButtonDziennik = button(this, "ButtonDziennik", QStringLiteral("Dziennik zdarzeń…"));
    LabelStan = new QLabel(this);
    LabelStan->setObjectName(QStringLiteral("LabelStan"));
    bar->addWidget(ButtonPauza);
    bar->addWidget(ButtonWyczysc);
    bar->addWidget(ButtonZapisz);
    bar->addWidget(ButtonDziennik);
    bar->addStretch(1);
    bar->addWidget(LabelStan);
    column->addLayout(bar);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    LogView = new QTableView(this);
    LogView->setObjectName(QStringLiteral("LogView"));
    LogView->setModel(log_);
    LogView->setFont(fixed);
    LogView->setSelectionBehavior(QAbstractItemView::SelectRows);
    LogView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    LogView->setWordWrap(false);
    LogView->setTextElideMode(Qt::ElideRight);
    LogView->setShowGrid(false);
    LogView->setAlternatingRowColors(true);
    LogView->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView* rows = LogView->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);   // uniform rows: appending stays cheap
    rows->setDefaultSectionSize(QFontMetrics(fixed).height() + 4);
    QHeaderView* columns = LogView->horizontalHeader();
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const QFontMetrics fm(fixed);
    const int pad = 16;
    LogView->setColumnWidth(TMonitorLog::ColTime, fm.horizontalAdvance(QStringLiteral("00:00:00.000")) + pad);
    LogView->setColumnWidth(TMonitorLog::ColSinceOpen, fm.horizontalAdvance(QStringLiteral("+00000,000 s")) + pad);
    LogView->setColumnWidth(TMonitorLog::ColDirection, fm.horizontalAdvance(QStringLiteral("→")) + pad);
    LogView->setColumnWidth(TMonitorLog::ColBytes, fm.horizontalAdvance(QString(BytesColumnChars, QLatin1Char('0'))) + pad);
    columns->setStretchLastSection(true);
    column->addWidget(LogView, 1);

    auto* countersTitle = new QLabel(QStringLiteral("Liczniki"), this);
    countersTitle->setObjectName(QStringLiteral("LabelLiczniki"));
    column->addWidget(countersTitle);
    Liczniki = new QTableWidget(5, 4, this);
    Liczniki->setObjectName(QStringLiteral("Liczniki"));
    Liczniki->setHorizontalHeaderLabels(
        {QStringLiteral("nadane"), QStringLiteral("odpowiedzi"), QStringLiteral("bez odpowiedzi"), QStringLiteral("odrzucone")});
    Liczniki->setVerticalHeaderLabels({QStringLiteral("Zegar 1"), QStringLiteral("Zegar 2"), QStringLiteral("Zegar 3"),
                                       QStringLiteral("Zegar 4"), QStringLiteral("Pozostałe")});
    Liczniki->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Liczniki->setSelectionMode(QAbstractItemView::NoSelection);
    Liczniki->setFocusPolicy(Qt::NoFocus);
    Liczniki->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Liczniki->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Liczniki->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    Liczniki->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Liczniki->verticalHeader()->setDefaultSectionSize(Liczniki->fontMetrics().height() + 8);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 4; ++c) {
            auto* item = new QTableWidgetItem(QStringLiteral("0"));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            Liczniki->setItem(r, c, item);
        }
    int height = Liczniki->horizontalHeader()->sizeHint().height() + 2 * Liczniki->frameWidth();
    for (int r = 0; r < 5; ++r)
        height += Liczniki->rowHeight(r);
    Liczniki->setFixedHeight(height);
    column->addWidget(Liczniki);

    // What a handler raises (a file that cannot be written) goes to the window's handler here.
    auto handler = [this](void (TFMonitor::*method)()) {
        return [this, method] {
            if (owner_)
                owner_->guard([this, method] { (this->*method)(); });
            else
                (this->*method)();
        };
    };
    connect(ButtonPauza, &QPushButton::clicked, this, handler(&TFMonitor::ButtonPauzaClick));
    connect(ButtonWyczysc, &QPushButton::clicked, this, handler(&TFMonitor::ButtonWyczyscClick));
    connect(ButtonZapisz, &QPushButton::clicked, this, handler(&TFMonitor::ButtonZapiszClick));
    connect(ButtonDziennik, &QPushButton::clicked, this, [this] {
        if (owner_)
            owner_->guard([this] { owner_->showEventLog(); });
    });

    flushTimer_ = new QTimer(this);
    flushTimer_->setSingleShot(true);
    flushTimer_->setTimerType(Qt::PreciseTimer);
    connect(flushTimer_, &QTimer::timeout, this, [this] { flush(); });
    sinceFlush_.start();

    resize(980, 620);
    const QString monitor = QStringLiteral("Monitor magistrali");
    nameField(LogView, monitor, QStringLiteral("ruch"));
    nameField(Liczniki, monitor, QStringLiteral("liczniki"));
    showState();
    if (owner_)
        owner_->linkTraffic()->watch(this, this);
}

TFMonitor::~TFMonitor() = default;

// The observer calls run inside the window's send and receive paths: nothing may escape them.
void TFMonitor::frameSent(const ByteString& frame, const FrameAccounting* accounting)
{
    try {
        record(trace_.frameSent(frame, accounting));
        // The table's repaint follows the tick that sent the frame, so it is over long before the
        // next tick is due; a batch on a timer of its own would now and then fall on a tick and
        // make it late.
        if (!pending_.empty()) {
            const qint64 since = sinceFlush_.elapsed();
            flushTimer_->start(since >= MinFlushMs ? 0 : static_cast<int>(MinFlushMs - since));
        }
    } catch (...) {
    }
}

void TFMonitor::bytesReceived(const ByteString& chunk)
{
    try {
        trace_.bytesReceived(chunk);
    } catch (...) {
    }
}

void TFMonitor::replyAssembled(const AssembleReport& report)
{
    try {
        record(trace_.replyAssembled(report));
    } catch (...) {
    }
}

void TFMonitor::record(const std::vector<TraceEntry>& entries)
{
    if (entries.empty())
        return;
    showCounters();
    if (paused_) {
        skipped_ += static_cast<qint64>(entries.size());
        return;
    }
    for (const TraceEntry& e : entries)
        append(kindOf(e.kind), TMonitorLog::bytesText(e.bytes, LineBytesShown), QString::fromStdString(e.meaning));
}

void TFMonitor::append(TMonitorLog::Kind kind, const QString& bytes, const QString& meaning)
{
    const Stamp now = clock ? clock() : Stamp{};
    pending_.push_back(TMonitorLog::Line{now.wall, now.sinceOpenMs, kind, bytes, meaning});
    // Under a flood the lines wait here at most one flush interval; more than the table keeps
    // would only be dropped again.
    if (pending_.size() > static_cast<size_t>(HistoryLimit))
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pending_.size() - HistoryLimit));
    // With no frames going out (disconnected, nothing to poll) a batch waits at most this long.
    if (!flushTimer_->isActive())
        flushTimer_->start(IdleFlushMs);
}

void TFMonitor::flush() const
{
    if (pending_.empty())
        return;
    flushTimer_->stop();
    sinceFlush_.restart();
    const QScrollBar* scroll = LogView->verticalScrollBar();
    const bool following = scroll->value() >= scroll->maximum();
    log_->append(std::exchange(pending_, {}));
    if (following)
        LogView->scrollToBottom();
    const_cast<TFMonitor*>(this)->showState();
}

void TFMonitor::showCounters()
{
    const auto& counters = trace_.counters();
    for (int r = 0; r < 5; ++r) {
        // Table rows: clocks 1..4, then the rest (the trace's row 0).
        const TraceCounters& c = counters[r < 4 ? r + 1 : BusTrace::OtherRow];
        const uint64_t values[4] = {c.sent, c.replies, c.unanswered, c.dropped};
        for (int k = 0; k < 4; ++k) {
            QTableWidgetItem* item = Liczniki->item(r, k);
            const QString text = QString::number(values[k]);
            if (item->text() != text)
                item->setText(text);
        }
    }
}

void TFMonitor::showState()
{
    const QLocale polish(QLocale::Polish, QLocale::Poland);
    QString text = QStringLiteral("Wpisy: %1 z %2").arg(polish.toString(log_->rowCount()), polish.toString(HistoryLimit));
    if (paused_)
        text += QStringLiteral(" · pauza, pominięto %1").arg(entries(skipped_));
    LabelStan->setText(text);
}

void TFMonitor::ButtonPauzaClick()
{
    paused_ = !paused_;
    ButtonPauza->setText(paused_ ? QStringLiteral("Wznów") : QStringLiteral("Pauza"));
    if (paused_) {
        skipped_ = 0;
    } else {
        append(TMonitorLog::Kind::Note, QString(),
               QStringLiteral("wznowiono po pauzie, pominięto %1").arg(entries(skipped_)));
        skipped_ = 0;
    }
    showState();
}

void TFMonitor::ButtonWyczyscClick()
{
    pending_.clear();
    log_->clear();
    trace_.clearCounters();
    skipped_ = 0;
    showCounters();
    showState();
}

void TFMonitor::ButtonZapiszClick()
{
    const QString path = seams().chooseMonitorLogFile
                             ? seams().chooseMonitorLogFile(this)
                             : QFileDialog::getSaveFileName(this, QStringLiteral("Zapisz log magistrali"),
                                                            QStringLiteral("magistrala.txt"),
                                                            QStringLiteral("Tekst (*.txt);;Wszystkie pliki (*)"));
    if (path.isEmpty())
        return;
    SaveLog(path);
}

void TFMonitor::SaveLog(const QString& path) const
{
    const QByteArray name = QFile::encodeName(path);
    const std::string shown = "Nie można zapisać pliku „" + path.toStdString() + "”: ";
    auto fail = [&](int error) { throw EInOutError(shown + ErrnoText(error), error); };
    flush();
    // A FIFO with no reader would hold the window for ever; a socket or device is no place for
    // the log either. The operator chose the path, so a link is followed.
    SafeOpen::Opened file = SafeOpen::open(name.toStdString(), O_WRONLY | O_CREAT | O_TRUNC, SafeOpen::Links::Follow);
    if (!file.ok())
        throw EInOutError(shown + file.reason(), file.error);
    const int fd = file.fd.get();
    QByteArray text;
    for (int row = 0; row < log_->rowCount(); ++row)
        text += log_->text(row).toUtf8() + '\n';
    for (qsizetype done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(n < 0 ? errno : EIO);
        done += n;
    }
    if (::close(file.fd.release()) != 0)   // a full disk on a network folder may only say so here
        fail(errno);
}

QStringList TFMonitor::Lines() const
{
    flush();
    QStringList out;
    out.reserve(log_->rowCount());
    for (int row = 0; row < log_->rowCount(); ++row)
        out.append(log_->text(row));
    return out;
}

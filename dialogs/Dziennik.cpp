#include "dialogs/Dziennik.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "unattended/EventLog.h"

namespace {

// The last `limit` lines of the log's two files, oldest first; at most a few MB are read.
QStringList tailOfFiles(const QString& path, int limit)
{
    QStringList lines;
    for (const QString& file : {path + QStringLiteral(".1"), path}) {
        QFile f(file);
        // A FIFO or a device put in place of the log is not read (and never waited for).
        if (f.open(QIODevice::ReadOnly) && !f.isSequential()) {
            const QByteArray bytes = f.read(4 * EventLog::DefaultMaxBytes);
            lines += QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
    }
    if (lines.size() > limit)
        lines = lines.mid(lines.size() - limit);
    return lines;
}

} // namespace

TFDziennik::TFDziennik(EventLog* log, QWidget* parent) : QDialog(parent), log_(log)
{
    setObjectName(QStringLiteral("FDziennik"));
    setWindowTitle(QStringLiteral("Dziennik zdarzeń"));
    auto* column = new QVBoxLayout(this);
    Plik = new QLabel(this);
    Plik->setObjectName(QStringLiteral("Plik"));
    Plik->setWordWrap(true);
    Plik->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Tekst = new QPlainTextEdit(this);
    Tekst->setObjectName(QStringLiteral("Tekst"));
    Tekst->setReadOnly(true);
    Tekst->setLineWrapMode(QPlainTextEdit::NoWrap);
    Tekst->setMaximumBlockCount(ShownLines);
    Tekst->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Tekst->setAccessibleName(QStringLiteral("Dziennik zdarzeń: wpisy"));
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* reload = buttons->addButton(QStringLiteral("&Odśwież"), QDialogButtonBox::ActionRole);
    reload->setObjectName(QStringLiteral("Odswiez"));
    QPushButton* close = buttons->addButton(QStringLiteral("&Zamknij"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("Zamknij"));
    column->addWidget(Plik);
    column->addWidget(Tekst, 1);
    column->addWidget(buttons);
    connect(reload, &QPushButton::clicked, this, &TFDziennik::Reload);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    resize(760, 420);
    if (log_) {
        QPointer<TFDziennik> self(this);
        log_->setListener([self](const QString& line) {
            QMetaObject::invokeMethod(self.data(), [self, line] {
                if (self)
                    self->append(line);
            }, Qt::QueuedConnection);
        });
    }
    Reload();
}

TFDziennik::~TFDziennik()
{
    if (log_)
        log_->setListener({});
}

void TFDziennik::Reload()
{
    Tekst->clear();
    if (!log_) {
        Plik->setText(QStringLiteral("Dziennik zdarzeń nie jest prowadzony w tym uruchomieniu."));
        return;
    }
    log_->flush();
    const QString failure = log_->failure();
    if (failure.isEmpty()) {
        Plik->setText(QStringLiteral("Plik: %1").arg(log_->filePath()));
        Tekst->setPlainText(tailOfFiles(log_->filePath(), ShownLines).join(QLatin1Char('\n')));
    } else {
        // The file is not written: what this run remembers, and why.
        Plik->setText(QStringLiteral("Dziennik nie jest zapisywany: %1").arg(failure));
        Tekst->setPlainText(log_->recentLines().join(QLatin1Char('\n')));
    }
    Tekst->verticalScrollBar()->setValue(Tekst->verticalScrollBar()->maximum());
}

void TFDziennik::append(const QString& line)
{
    QScrollBar* bar = Tekst->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    Tekst->appendPlainText(line);
    if (atEnd)
        bar->setValue(bar->maximum());
}

// The main window left alone on real adapters: the reconnect wait after a lost device, the
// selector following adapters plugged in and out, the stored port identity, the status bar
// with the system clock's synchronisation, and the mark of a clock gone silent.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QTime>
#include <QTimer>
#include <QElapsedTimer>

#include <algorithm>

#include <sys/stat.h>

#include "app/KadrelMain.h"
#include "app/PortErrors.h"
#include "widgets/Seams.h"
#include "unattended/EventLog.h"
#include "files/ConfigPaths.h"
#include "app/StatusLine.h"
#include "dialogs/JakieCOMy.h"
#include "widgets/ComComboBox.h"
#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/PortIdentity.h"
#include "serial/NetLink.h"
#include "serial/PortWatcher.h"

// A virtual port's link as it stands: its inode, change time and target. A link left behind by a vanished
// pseudo-terminal is not "back" when the kernel hands that terminal's number to some other
// program; only a link made anew (or pointed elsewhere) is. Empty for anything not a link.
QString linkStamp(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    // The inode number alone may be reused at once; the change time of a new link differs.
    return QStringLiteral("%1 %2.%3 ").arg(st.st_ino).arg(st.st_ctim.tv_sec).arg(st.st_ctim.tv_nsec) +
           QFileInfo(path).symLinkTarget();
}

IdentityRoots identityRoots()
{
    IdentityRoots roots;
    roots.sysfsRoot = configRoots().sysfsRoot.toStdString();
    roots.byIdDir = configRoots().byIdDir.toStdString();
    roots.virtualDir = virtualPortFolder().toStdString();
    return roots;
}

std::vector<PortEntry> TForm1::portEntries() const
{
    std::vector<PortEntry> ports;
    ports.reserve(static_cast<size_t>(PortNames.size()));
    for (int i = 0; i < PortNames.size(); ++i)
        ports.push_back({PortNames[i].toStdString(), PortDevices[i].toStdString()});
    return ports;
}

void TForm1::buildStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    StatusLink = new StatusLine(bar);
    StatusLink->setObjectName(QStringLiteral("StatusLink"));
    // Long texts are cut, never widen the window (it follows its controls' size).
    StatusLink->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusLink->setMinimumWidth(0);
    StatusSync = new QLabel(bar);
    StatusSync->setObjectName(QStringLiteral("StatusSync"));
    SetFontColor(StatusSync, NamedColor::clRed);
    StatusSync->hide();
    bar->addWidget(StatusLink, 1);
    bar->addPermanentWidget(StatusSync);
}

// ---- reconnect wait --------------------------------------------------------------------------

void TForm1::StopWaiting()
{
    if (!waiting_)
        return;
    waiting_ = false;
    retryOpen_->stop();
    StatusLink->clear();
    StatusLink->setToolTip(QString());
}

void TForm1::PortsChanged()
{
    refreshPortCombo();
    if (FormJakieCOM && FormJakieCOM->isVisible())
        FormJakieCOM->Fill();
    if (waiting_)
        tryReconnect();
}

void TForm1::refreshPortCombo()
{
    const QString selected = ComCombo->currentIndex() >= 0 ? ComCombo->Text() : QString();
    const bool wasEmpty = ComCombo->count() == 0;
    QStringList entries;
    ReadPortList(entries);
    // The awaited port keeps its entry, selected, until it is back or the wait ends.
    if (waiting_ && !selected.isEmpty() && !entries.contains(selected))
        entries.insert(std::min<qsizetype>(ComCombo->currentIndex(), entries.size()), selected);
    QStringList shown;
    for (int i = 0; i < ComCombo->count(); ++i)
        shown.append(ComCombo->itemText(i));
    if (entries == shown)
        return;
    // A connected port keeps its entry: the selector is locked to it until the disconnect.
    if (ComPort->Connected() && !entries.contains(selected))
        return;
    {
        const QSignalBlocker quiet(ComCombo);
        ComCombo->clear();
        ComCombo->addItems(entries);
        ComCombo->setCurrentIndex(selected.isEmpty() ? -1 : static_cast<int>(entries.indexOf(selected)));
        // The first adapter plugged into a machine that had none is picked as at start.
        if (ComCombo->currentIndex() < 0 && wasEmpty && !entries.isEmpty() && !waiting_)
            ComCombo->setCurrentIndex(0);
    }
    if (ComPort->Connected())
        return;
    if (ComCombo->currentIndex() >= 0) {
        ComPort->SetPort(ComCombo->Text().toStdString());
        Button_polacz->setEnabled(true);
    } else if (!selected.isEmpty() || wasEmpty) {
        Button_polacz->setEnabled(false);
    }
}

void TForm1::tryReconnect()
{
    if (!waiting_ || holdReconnect_ || ComPort->Connected())
        return;
    refreshPortCombo();
    const QString port = portReturn_.findBack(
        portEntries(), identityRoots(), [this](const QString& name) { return Watcher->isPresent(name); }, linkStamp);
    const int index = port.isEmpty() ? -1 : ComCombo->findText(port);
    if (index < 0)
        return;
    {
        const QSignalBlocker quiet(ComCombo);
        ComCombo->setCurrentIndex(index);
    }
    Button_polacz->setEnabled(true);
    ComPort->SetPort(port.toStdString());
    try {
        ComPort->OpenPort();
    } catch (const EComPort& e) {
        // The wait ended meanwhile ("STOP" during a network port's connecting).
        if (!waiting_)
            return;
        // Back but not ready (udev still setting its owner) or held by another program: no
        // box, the wait goes on, and the open is tried again in a while. A network port's
        // server is simply tried again.
        const QString reason = portErrorMessage(e, port.toStdString()).replace(QLatin1Char('\n'), QLatin1Char(' '));
        // A server cannot be watched for, only asked: every second, so it is back in use within
        // about one after it answers again (a refused connection on the LAN costs nothing).
        if (net::isNetworkName(port.toStdString())) {
            setWaitStatus(QStringLiteral("Serwer portu "), port,
                          QStringLiteral(" jeszcze nie odpowiada: %1 Ponowna próba za 1 s…").arg(reason));
            retryOpen_->start(1000);
        } else {
            setWaitStatus(QStringLiteral("Port "), port, QStringLiteral(" wrócił, ale nie daje się otworzyć: %1 Czekam dalej…").arg(reason));
            retryOpen_->start(2000);
        }
        return;
    }
    // The same steps as "START": the pause, then the Connected state.
    Pause(100);
    if (!ComPort->Connected())
        return;
    waiting_ = false;
    retryOpen_->stop();
    showConnected();
    const QString now = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    if (lostAt_.isEmpty()) {
        // The adapter awaited since start.
        setWaitStatus(QStringLiteral("Połączono z portem "), port, QStringLiteral(" o %1.").arg(now));
        LogEvent(QStringLiteral("Połączono z portem %1 (adapter pojawił się po starcie)").arg(port));
    } else {
        setWaitStatus(QStringLiteral("Połączono ponownie z portem "), port,
                      QStringLiteral(" o %1 (utracono o %2).").arg(now, lostAt_));
        LogEvent(QStringLiteral("Połączono ponownie z portem %1 po %2 s")
                     .arg(port, QString::number((QDateTime::currentMSecsSinceEpoch() - lostMs_) / 1000.0, 'f', 1)));
    }
    // The loss's box has said its piece: the bus is back.
    if (lostNotice_ != 0) {
        DismissNotice(lostNotice_);
        LogEvent(QStringLiteral("Komunikat o utracie połączenia zamknięty: połączenie wróciło"));
        lostNotice_ = 0;
    }
}

void TForm1::setWaitStatus(const QString& before, const QString& port, const QString& after)
{
    StatusLink->setPortMessage(before, port, after);
}

void TForm1::ConnectAtStart()
{
    if (!BoxAuto->isChecked())
        return;
    // The adapter saved with the settings may not be there yet (a PC that boots faster than its
    // USB adapter enumerates, or one plugged in later): wait for it as for a lost one, no box.
    const std::string identity = readIdentityFile(portIdentityPath().toStdString());
    if (!identity.empty()) {
        if (!findIdentity(portEntries(), identity, identityRoots())) {
            waiting_ = true;
            portReturn_.awaitAdapter(identity);
            lostAt_.clear();
            const QString shown = QString::fromStdString(identity.substr(identity.find(':') + 1));
            setWaitStatus(QStringLiteral("Czekam na adapter "), shown, QStringLiteral(" zapisany w ustawieniach…"));
            LogEvent(QStringLiteral("Start: czekam na adapter %1").arg(QString::fromStdString(identity)));
            // The watcher may have fired before the wait began.
            QTimer::singleShot(0, this, handler(&TForm1::tryReconnect));
            return;
        }
    }
    Button_polaczClick();
}

// ---- port identity ---------------------------------------------------------------------------

void TForm1::rememberPortIdentity()
{
    if (ComCombo->currentIndex() < 0)
        return;
    const std::string port = ComCombo->Text().toStdString();
    const std::string path = portIdentityPath().toStdString();
    std::string why;
    if (!writeIdentityFile(path, portIdentity(port, identityRoots()), port, &why))
        qWarning("%s", why.c_str());
}

void TForm1::applyStoredPortIdentity()
{
    const std::string identity = readIdentityFile(portIdentityPath().toStdString());
    if (identity.empty())
        return;
    const std::vector<PortEntry> ports = portEntries();
    const auto found = findIdentity(ports, identity, identityRoots());
    if (!found)
        return;
    const int index = ComCombo->findText(QString::fromStdString(ports[*found].portName));
    if (index < 0 || index == ComCombo->currentIndex())
        return;
    const QSignalBlocker quiet(ComCombo);
    ComCombo->setCurrentIndex(index);
}

// ---- system clock ----------------------------------------------------------------------------

void TForm1::CheckClockSync()
{
    const ClockSyncReading reading = seams().readClockSync ? seams().readClockSync() : ClockSyncReading{};
    const int synced = clockSynchronised(reading) ? 1 : 0;
    if (synced != syncKnown_) {
        if (syncKnown_ != -1 || synced == 0)
            LogEvent(synced ? QStringLiteral("Zegar komputera zsynchronizowany (NTP)")
                            : QStringLiteral("Zegar komputera nie jest zsynchronizowany (NTP)"));
        syncKnown_ = synced;
    }
    if (synced) {
        StatusSync->clear();
        StatusSync->hide();
        return;
    }
    StatusSync->setText(QStringLiteral("Zegar komputera nie jest zsynchronizowany"));
    StatusSync->setToolTip(QStringLiteral("Zegar systemowy nie jest zsynchronizowany (NTP): zegary w trybie RTC "
                                          "biorą czas z komputera i mogą pokazywać zły czas."));
    StatusSync->show();
}

// ---- silent clock ----------------------------------------------------------------------------

void TForm1::setSilent(int clock, bool silent)
{
    if (silentMark_[clock] == silent)
        return;
    silentMark_[clock] = silent;
    LogEvent(silent ? QStringLiteral("Zegar %1 nie odpowiada (trzy ramki bez odpowiedzi)").arg(clock)
                    : QStringLiteral("Zegar %1 odpowiada znowu").arg(clock));
    QLineEdit* field = Clocks[clock].czas;
    // Italics and an hourglass-like mark beside the digits: the colours stay the clock's own.
    QFont f = field->font();
    f.setItalic(silent);
    field->setFont(f);
    QAction* mark = field->findChild<QAction*>(QStringLiteral("silentMark"));
    if (silent && !mark) {
        mark = field->addAction(field->style()->standardIcon(QStyle::SP_MessageBoxWarning),
                                QLineEdit::TrailingPosition);
        mark->setObjectName(QStringLiteral("silentMark"));
        mark->setToolTip(QStringLiteral("Zegar nie odpowiada: pokazany czas jest nieaktualny"));
    } else if (!silent && mark) {
        field->removeAction(mark);
        delete mark;
    }
    field->setToolTip(silent ? QStringLiteral("Zegar nie odpowiada: pokazany czas jest nieaktualny") : QString());
    updateTimeAccessibleName(clock);
}

void TForm1::updateTimeAccessibleName(int clock)
{
    QLineEdit* field = Clocks[clock].czas;
    QString name = QStringLiteral("Zegar %1: %2").arg(clock).arg(field->text());
    if (silentMark_[clock])
        name += QStringLiteral(", czas nieaktualny");
    if (field->accessibleName() != name)
        field->setAccessibleName(name);
}

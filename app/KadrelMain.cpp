#include "app/KadrelMain.h"

#include <cerrno>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QEventLoop>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <QScopeGuard>
#include <QScopedValueRollback>

#include <cstdio>

#include "app/PlanRunner.h"
#include "widgets/AccessibleNames.h"
#include "widgets/LinkGauge.h"
#include "app/PortErrors.h"
#include "widgets/Seams.h"
#include "unattended/EventLog.h"
#include "link/Tick.h"
#include "files/ConfigPaths.h"
#include "dialogs/Dziennik.h"
#include "dialogs/JakieCOMy.h"
#include "dialogs/Monitor.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"
#include "base/ErrnoText.h"
#include "base/Exceptions.h"
#include "link/Frame.h"
#include "widgets/LinkTraffic.h"
#include "widgets/ComComboBox.h"
#include "serial/PortOptions.h"
#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/NetLink.h"
#include "serial/NetworkPorts.h"
#include "serial/PortIdentity.h"
#include "serial/PortWatcher.h"
#include "unattended/Autostart.h"

#include <time.h>

TForm1* Form1 = nullptr;

// ---- creation --------------------------------------------------------------------------------

TForm1::TForm1(QWidget* parent) : QMainWindow(parent)
{
    Form1 = this;   // the exception handler is reachable from here on
    Traffic = new LinkTraffic(this);
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(configRoots().profile.isEmpty() ? QStringLiteral("Kadrel v2.6")
                                             : QStringLiteral("Kadrel v2.6 – profil %1").arg(configRoots().profile));

    ComPort = new TComPort(this);
    ComPort->setObjectName(QStringLiteral("ComPort"));
    ComPort->SetPort("COM1");
    ComPort->SetBaudRate(br19200);
    ComPort->SetDataBits(dbEight);
    ComPort->SetStopBits(sbOneStopBit);
    ComPort->Parity().SetBits(prNone);
    TComFlowControl& flow = ComPort->FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(dtrDisable);
    flow.SetControlRTS(rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    ComPort->SetEvents({evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD,
                        evRx80Full});
    ComPort->SetTriggersOnRxChar(true);
    ComPort->OnRxChar = [this](TCustomComPort* sender, int count) { VaCommRxChar(sender, count); };
    ComPort->OnDeviceLost = [this](TCustomComPort*, const EComPort& error) {
        guard([&] { ComPortDeviceLost(error); });
    };

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("Client"));
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(8);
    setCentralWidget(central);
    buildMenu();
    buildConnectionStrip();
    buildClockGroup();
    column->addWidget(GroupBox1);
    column->addWidget(GroupZegary);
    nameControls();
    // The window follows its visible controls, shrinking to the connection strip while
    // disconnected.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    buildStatusBar();

    // Each tick re-arms the timer for the next slot of the wall clock (scheduleTick); a stopped
    // timer stays stopped.
    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setTimerType(Qt::PreciseTimer);
    Timer->setInterval(tickPace().intervalMs);
    connect(Timer, &QTimer::timeout, this, [this] { timerFired(); });
    Timer->start();

    retryOpen_ = new QTimer(this);
    retryOpen_->setSingleShot(true);
    retryOpen_->setInterval(2000);
    connect(retryOpen_, &QTimer::timeout, this, handler(&TForm1::tryReconnect));

    Watcher = new PortWatcher({configRoots().devDir, configRoots().byIdDir, virtualPortFolder()}, this);
    Watcher->setObjectName(QStringLiteral("Watcher"));
    connect(Watcher, &PortWatcher::portsChanged, this, handler(&TForm1::PortsChanged));
    // A server cannot be watched for: a network port counts as there, and only an open attempt
    // (every second while it fails) tells whether it answers again.
    Watcher->addPresenceCheck([](const QString& name) -> std::optional<bool> {
        if (net::isNetworkName(name.toStdString()))
            return true;
        return std::nullopt;
    });

    SyncTimer = new QTimer(this);
    SyncTimer->setObjectName(QStringLiteral("SyncTimer"));
    SyncTimer->setInterval(60000);
    connect(SyncTimer, &QTimer::timeout, this, handler(&TForm1::CheckClockSync));
    SyncTimer->start();

    for (int n = 1; n <= 4; ++n) {
        connect(Clocks[n].czas, &QLineEdit::textChanged, this, [this, n] { updateTimeAccessibleName(n); });
        updateTimeAccessibleName(n);
    }

    guard([this] { FormCreate(); });
    guard([this] { CheckClockSync(); });
    guard([this] { startRemote(); });
    guard([this] { startMqtt(); });
}

TForm1::~TForm1()
{
    Timer->stop();
    // The plan's runner hands the server its host back and writes its stamp from the window:
    // it goes while the window is still whole, not in ~QObject after it.
    qDeleteAll(findChildren<PlanRunner*>(Qt::FindDirectChildrenOnly));
    stopMqtt();
    stopRemote();   // the server calls back into the window while it goes
    try {
        if (ComPort->Connected())
            ComPort->ClosePort();
    } catch (const std::exception& e) {
        qWarning("closing the port: %s", e.what());
    }
    // The dialogs go while the window they talk to is still whole.
    const QList<QDialog*> dialogs = findChildren<QDialog*>(Qt::FindDirectChildrenOnly);
    qDeleteAll(dialogs);
    FUstawienia = nullptr;
    FPomoc = nullptr;
    FAdresy = nullptr;
    FormJakieCOM = nullptr;
    FMonitor = nullptr;
    FDziennik = nullptr;
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::FormCreate()
{
    PortDevices.clear();
    PortNames.clear();
    ComPort->SetBaudRate(br19200);
    GroupZegary->hide();
    for (int clock = 1; clock <= 4; ++clock)
        ShowClock(clock);
    FillPortCombo();
    LoadSettings();
    fitToContents();
}

void TForm1::buildMenu()
{
    MainMenu1 = menuBar();
    // "&" marks the keyboard mnemonic (Alt+O opens "Opcje"); it is not shown.
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    Opcje1 = MainMenu1->addMenu(QStringLiteral("&Opcje"));
    Opcje1->setObjectName(QStringLiteral("Opcje1"));
    Opcje1->menuAction()->setObjectName(QStringLiteral("Opcje1Action"));
    Zmianaadresu1 = Opcje1->addAction(QStringLiteral("&Zmiana adresu"));
    Zmianaadresu1->setObjectName(QStringLiteral("Zmianaadresu1"));
    Aktualizacja1 = Opcje1->addAction(QStringLiteral("&Aktualizacja firmware"));
    Aktualizacja1->setObjectName(QStringLiteral("Aktualizacja1"));
    Zapiszustawienia1 = Opcje1->addAction(QStringLiteral("Zapisz &ustawienia"));
    Zapiszustawienia1->setObjectName(QStringLiteral("Zapiszustawienia1"));
    Pomoc2 = MainMenu1->addAction(QStringLiteral("&Pomoc"));
    Pomoc2->setObjectName(QStringLiteral("Pomoc2"));
    Monitor1 = MainMenu1->addAction(QStringLiteral("&Monitor"));
    Monitor1->setObjectName(QStringLiteral("Monitor1"));
    // The log is also a button of the bus monitor, which is there while disconnected.
    Dziennik1 = Opcje1->addAction(QStringLiteral("&Dziennik zdarzeń"));
    Dziennik1->setObjectName(QStringLiteral("Dziennik1"));
    Autostart1 = Opcje1->addAction(QStringLiteral("Uruchamiaj po za&logowaniu"));
    Autostart1->setObjectName(QStringLiteral("Autostart1"));
    Autostart1->setCheckable(true);
    Autostart1->setChecked(autostart::enabled(configRoots().profile));
    Opcje1->setEnabled(false);
    Opcje1->menuAction()->setEnabled(false);

    connect(Zmianaadresu1, &QAction::triggered, this, handler(&TForm1::Zmianaadresu1Click));
    connect(Aktualizacja1, &QAction::triggered, this, handler(&TForm1::Aktualizacja1Click));
    connect(Zapiszustawienia1, &QAction::triggered, this, handler(&TForm1::Zapiszustawienia1Click));
    connect(Pomoc2, &QAction::triggered, this, handler(&TForm1::Pomoc2Click));
    connect(Monitor1, &QAction::triggered, this, handler(&TForm1::Monitor1Click));
    connect(Dziennik1, &QAction::triggered, this, handler(&TForm1::Dziennik1Click));
    connect(Autostart1, &QAction::triggered, this, handler(&TForm1::Autostart1Click));
    // The line's own switches live in a file of their own beside the settings file.
    const PortOptions portOptions = PortOptionsFile::load(portOptionsPath().toStdString());
    OdrzucajEcho1 = Opcje1->addAction(QStringLiteral("Odrzucaj &echo nadawanych ramek"));
    OdrzucajEcho1->setObjectName(QStringLiteral("OdrzucajEcho1"));
    OdrzucajEcho1->setCheckable(true);
    OdrzucajEcho1->setChecked(portOptions.dropEcho);
    echo_.setEnabled(portOptions.dropEcho);
    ComPort->SetKernelRs485(portOptions.kernelRs485);
    connect(OdrzucajEcho1, &QAction::triggered, this, handler(&TForm1::OdrzucajEcho1Click));
    Zdalne1 = new QAction(QStringLiteral("&Zdalne sterowanie"), MainMenu1);
    MainMenu1->insertAction(Pomoc2, Zdalne1);
    Zdalne1->setObjectName(QStringLiteral("Zdalne1"));
    connect(Zdalne1, &QAction::triggered, this, handler(&TForm1::Zdalne1Click));
}

void TForm1::buildConnectionStrip()
{
    GroupBox1 = new QGroupBox(centralWidget());
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* row = new QHBoxLayout(GroupBox1);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(8);

    Button6 = new QPushButton(QStringLiteral("COM?"), GroupBox1);
    Button6->setObjectName(QStringLiteral("Button6"));
    ComCombo = new TComComboBox(GroupBox1);
    ComCombo->setObjectName(QStringLiteral("ComCombo"));
    ComCombo->SetComPort(ComPort);
    ComCombo->SetComProperty(cpNone);
    // One width whatever the port's name, so the buttons beside it stay put: room for a
    // hardware port's path; a longer one is cut in the middle, whole in the tooltip.
    ComCombo->setMinimumContentsLength(16);
    ComCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComCombo->installEventFilter(this);
    Edit_status = new QLineEdit(QStringLiteral("ROZŁĄCZONY"), GroupBox1);
    Edit_status->setObjectName(QStringLiteral("Edit_status"));
    Edit_status->setReadOnly(true);
    Edit_status->setFocusPolicy(Qt::NoFocus);
    Edit_status->setAlignment(Qt::AlignCenter);
    {
        QFont f = Edit_status->font();
        f.setBold(true);
        Edit_status->setFont(f);
        Edit_status->setFixedWidth(Edit_status->fontMetrics().horizontalAdvance(QStringLiteral("ROZŁĄCZONY")) + 28);
    }
    SetBackColor(Edit_status, NamedColor::clRed);
    BoxAuto = new QCheckBox(QStringLiteral("połącz po starcie"), GroupBox1);
    BoxAuto->setObjectName(QStringLiteral("BoxAuto"));
    Button_polacz = new QPushButton(QStringLiteral("START"), GroupBox1);
    Button_polacz->setObjectName(QStringLiteral("Button_polacz"));
    Button2 = new QPushButton(QStringLiteral("STOP"), GroupBox1);
    Button2->setObjectName(QStringLiteral("Button2"));

    row->addWidget(Button6);
    row->addWidget(ComCombo, 1);
    row->addWidget(Edit_status);
    row->addSpacing(4);
    row->addWidget(BoxAuto);
    row->addStretch(0);
    row->addWidget(Button_polacz);
    row->addWidget(Button2);

    connect(Button6, &QPushButton::clicked, this, handler(&TForm1::Button6Click));
    connect(Button_polacz, &QPushButton::clicked, this, handler(&TForm1::Button_polaczClick));
    connect(Button2, &QPushButton::clicked, this, handler(&TForm1::Button2Click));
    // Only the operator's pick counts as a change, as with the list control it stands for.
    connect(ComCombo, &QComboBox::activated, this, handler(&TForm1::ComComboChange));
}

void TForm1::fitToContents()
{
    centralWidget()->layout()->activate();
    layout()->activate();
    adjustSize();
}

// ---- window events ---------------------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    guard([this] { ConnectAtStart(); });
}

void TForm1::closeEvent(QCloseEvent* event)
{
    StopWaiting();
    guard([this] { Disconnect(); });
    event->accept();
    emit windowClosed();
}

bool leavesControl(const QEvent* focusOut)
{
    const Qt::FocusReason reason = static_cast<const QFocusEvent*>(focusOut)->reason();
    return reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    bool consumed = false;
    guard([&] {
        if (watched == ComCombo && event->type() == QEvent::FocusOut && leavesControl(event))
            ComComboExit();
        consumed = panelEventFilter(watched, event);
    });
    return consumed;
}

void TForm1::guard(const std::function<void()>& handler) noexcept
{
    try {
        handler();
    } catch (...) {
        try {
            HandleException(std::current_exception());
        } catch (const std::exception& e) {
            qWarning("exception in the exception handler: %s", e.what());
        } catch (...) {
            qWarning("unknown exception in the exception handler");
        }
    }
}

// ---- connection ------------------------------------------------------------------------------

void TForm1::Button_polaczClick()
{
    // A network port is still connecting (its wait handles events, this click among them):
    // the click that started it finishes the job.
    if (ComPort->Opening())
        return;
    StopWaiting();
    if (ComCombo->currentIndex() >= 0) {
        ComPort->SetPort(ComCombo->Text().toStdString());
        try {
            if (!ComPort->Connected())
                ComPort->OpenPort();
        } catch (const EComPort& e) {
            // "STOP", "COM?" or closing the window gave up a network port still connecting:
            // what the operator asked for, not a failure to report.
            if (e.OsErrorCode != ECANCELED)
                throw;
        }
    }
    Pause(100);
    if (ComPort->Connected()) {
        showConnected();
        LogEvent(QStringLiteral("Połączono z portem %1").arg(QString::fromStdString(ComPort->Port())));
    } else {
        Disconnect();
    }
}

void TForm1::showConnected()
{
    SetBackColor(Edit_status, NamedColor::clLime);
    Edit_status->setText(QStringLiteral("POŁĄCZONY"));
    ComCombo->setEnabled(false);
    GroupZegary->show();
    fitToContents();
    Link.LinkActive = 1;
    Opcje1->setEnabled(true);
    Opcje1->menuAction()->setEnabled(true);
    ++connectGeneration_;
    silentFrames_.fill(-1);
    connectedIdentity_ = portIdentity(ComPort->Port(), identityRoots());
    const std::string rs485 = ComPort->TakeRs485Notice();
    if (!rs485.empty()) {
        statusBar()->showMessage(QString::fromStdString(rs485), 30000);
        LogEvent(QString::fromStdString(rs485));
    }
    // The timer came due during the blocking pause: without this its overdue tick would be
    // followed by the next one a few milliseconds later.
    if (Timer->isActive())
        scheduleTick();
}

void TForm1::Button2Click()
{
    if (ComPort->Connected() || waiting_)
        LogEvent(QStringLiteral("Rozłączono („STOP”)"));
    StopWaiting();
    Disconnect();
}

void TForm1::ShutDown()
{
    LogEvent(QStringLiteral("Koniec pracy programu (sygnał)"));
    StopWaiting();
    Link.LinkActive = 0;
    try {
        if (ComPort->Connected() || ComPort->Opening())
            ComPort->ClosePort();
    } catch (const std::exception& e) {
        qWarning("closing the port: %s", e.what());
    }
    emit windowClosed();
}

void TForm1::Disconnect()
{
    Opcje1->setEnabled(false);
    Opcje1->menuAction()->setEnabled(false);
    Link.LinkActive = 0;
    SetBackColor(Edit_status, NamedColor::clRed);
    Edit_status->setText(QStringLiteral("ROZŁĄCZONY"));
    ComCombo->setEnabled(true);
    GroupZegary->hide();
    fitToContents();

    const unsigned generation = connectGeneration_;
    // About a second in which ticks (sending nothing now) and receptions still run. Each wait
    // blocks in an event loop until its deadline, so the window stays responsive without spinning.
    QCoreApplication::processEvents();
    for (int i = 0; i < 10; ++i) {
        QEventLoop wait;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        connect(&deadline, &QTimer::timeout, &wait, &QEventLoop::quit);
        deadline.start(tickPace().disconnectWaitMs);
        wait.exec();
        QCoreApplication::processEvents();
    }

    // "START" clicked during the wait made a new connection: that one keeps the port.
    if (connectGeneration_ != generation && Link.LinkActive == 1)
        return;
    // A network port still connecting (its wait handles events, this click among them) gives up.
    if (ComPort->Connected() || ComPort->Opening())
        ComPort->ClosePort();
}

void TForm1::ResumePolling()
{
    if (ComPort->Connected()) {
        Link.LinkActive = 1;
        if (Timer->isActive())
            scheduleTick();
    }
}

void TForm1::ComPortDeviceLost(const EComPort& error)
{
    // One report per loss: the write that met the dead device and the port's own notice both
    // end up here.
    if (losingDevice_)
        return;
    const QScopedValueRollback<bool> losing(losingDevice_, true);

    Button_polacz->setEnabled(true);
    // Traffic stops and the port closes at once: a vanished device has nothing to drain in the
    // disconnect's wait, and no tick may write to it meanwhile.
    Link.LinkActive = 0;
    if (ComPort->Connected())
        ComPort->ClosePort();
    // The wait for the port's return begins now; "STOP", "COM?", another port or closing the
    // window (also from under the box) ends it.
    waiting_ = true;
    const QString waitPort = QString::fromStdString(ComPort->Port());
    portReturn_.lose(waitPort, connectedIdentity_, linkStamp(waitPort));
    lostAt_ = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    lostMs_ = QDateTime::currentMSecsSinceEpoch();
    setWaitStatus(QStringLiteral("Utracono połączenie z "), waitPort,
                  QStringLiteral(" o %1, czekam na ponowne podłączenie…").arg(lostAt_));
    // The error's own words, and under them what happened in the operator's.
    const bool network = net::isNetworkName(waitPort.toStdString());
    const QString message = QString::fromUtf8(error.what()) + QLatin1Char('\n') +
                            (network ? QStringLiteral("Serwer portu sieciowego zamknął połączenie lub przestał odpowiadać.")
                                     : QStringLiteral("Adapter został odłączony lub zresetowany."));
    LogEvent(QStringLiteral("Utracono połączenie z %1: %2").arg(waitPort, QString::fromUtf8(error.what())));
    // The box comes up over a window already disconnected, and holds nothing: the wait for the
    // device goes on under it, and the device's return closes it. A device that comes and goes
    // while its box is still open adds no second box.
    QTimer::singleShot(0, this, [this, message] {
        if (openErrors_.contains(message))
            return;
        openErrors_.append(message);
        lostNotice_ = ShowNotice(MsgKind::Error, message);
        openErrors_.removeOne(message);
    });
    {
        holdReconnect_ = true;
        const auto release = qScopeGuard([this] { holdReconnect_ = false; });
        Disconnect();
    }
    // The device may be back already.
    if (waiting_)
        QTimer::singleShot(0, this, handler(&TForm1::tryReconnect));
}

// Why the virtual ports were left out, in the operator's words.
void TForm1::ReadPortList(QStringList& target)
{
    DeviceMap map(configRoots().sysfsRoot.toStdString(), virtualPortFolder().toStdString());
    map.setNetworkPorts(NetworkPorts::load(networkPortsPath().toStdString()));
    const std::vector<PortEntry> ports = map.list();
    if (!map.virtualFolderRefusal().ok()) {
        // Said once, not at every refresh of the list.
        const QString text = virtualFolderRefusal(map.virtualFolderRefusal());
        if (text != virtualRefusalTold_) {
            virtualRefusalTold_ = text;
            std::fprintf(stderr, "kadrel: %s\n", qUtf8Printable(text));
        }
    }
    PortNames.clear();
    PortDevices.clear();
    QStringList names;
    for (const PortEntry& port : ports) {
        PortDevices.append(QString::fromStdString(port.deviceName));
        PortNames.append(QString::fromStdString(port.portName));
        names.append(QString::fromStdString(port.portName));
    }
    target = names;
}

void TForm1::FillPortCombo()
{
    Button_polacz->setEnabled(false);
    QStringList entries;
    for (int i = 0; i < ComCombo->count(); ++i)
        entries.append(ComCombo->itemText(i));
    ReadPortList(entries);
    {
        const QSignalBlocker quiet(ComCombo);
        ComCombo->clear();
        ComCombo->addItems(entries);
        ComCombo->setCurrentIndex(-1);
    }
    if (entries.isEmpty() || entries.first().isEmpty())
        return;
    ComCombo->setCurrentIndex(0);
    ComPort->SetPort(ComCombo->Text().toStdString());
    Button_polacz->setEnabled(true);
}

void TForm1::ComComboChange()
{
    StopWaiting();
    if (ComCombo->currentIndex() < 0)
        return;
    Button_polacz->setEnabled(true);
    ComPort->SetPort(ComCombo->Text().toStdString());
}

void TForm1::ComComboExit()
{
    if (ComCombo->currentIndex() == -1)
        Button_polacz->setEnabled(false);
}

void TForm1::Button6Click()
{
    StopWaiting();
    Disconnect();
    if (FormJakieCOM)
        FormJakieCOM->show();
    FillPortCombo();
    if (FormJakieCOM)
        FormJakieCOM->Fill();
}

// ---- menu ------------------------------------------------------------------------------------

template <class Dialog>
void TForm1::runModal(Dialog*& instance)
{
    // A fresh dialog at every opening, destroyed when its modal loop ends, whatever happens.
    const auto release = qScopeGuard([&instance] {
        delete instance;
        instance = nullptr;
    });
    instance = new Dialog(this);
    instance->exec();
}

void TForm1::Zmianaadresu1Click()
{
    runModal(FAdresy);
}

void TForm1::Aktualizacja1Click()
{
    runModal(FUstawienia);
}

void TForm1::Zapiszustawienia1Click()
{
    SaveSettings();
}

void TForm1::Pomoc2Click()
{
    runModal(FPomoc);
}

void TForm1::Monitor1Click()
{
    if (!FMonitor)
        FMonitor = new TFMonitor(this);
    FMonitor->show();
    FMonitor->raise();
    FMonitor->activateWindow();
}

void TForm1::Dziennik1Click()
{
    if (!FDziennik)
        FDziennik = new TFDziennik(Log, this);
    FDziennik->show();
    FDziennik->raise();
    FDziennik->activateWindow();
}

void TForm1::Autostart1Click()
{
    const bool on = Autostart1->isChecked();
    const QString refusal = autostart::setEnabled(configRoots().profile, QCoreApplication::applicationFilePath(), on);
    // The tick shows what is on disk, whatever was asked.
    Autostart1->setChecked(autostart::enabled(configRoots().profile));
    if (!refusal.isEmpty()) {
        ShowNotice(MsgKind::Error, refusal);
        return;
    }
    LogEvent(on ? QStringLiteral("Uruchamianie po zalogowaniu włączone (%1)").arg(autostart::entryPath(configRoots().profile))
                : QStringLiteral("Uruchamianie po zalogowaniu wyłączone"));
}

// ---- exception handler -----------------------------------------------------------------------

void TForm1::HandleException(std::exception_ptr error)
{
    QString message;
    bool conversion = false;
    try {
        std::rethrow_exception(std::move(error));
    } catch (const EConvertError& e) {
        message = QString::fromUtf8(e.what());
        conversion = true;
    } catch (const EComPort& e) {
        if (e.PortErrorCode == peWrite && e.DeviceGone() && ComPort->Connected()) {
            // A write met the vanished device before the port's own notice came.
            ComPortDeviceLost(e);
            return;
        }
        if (e.PortErrorCode == pePortNotOpen && ComPort->DeviceLost()) {
            // Something still writing to the port closed for the loss already reported.
            Button_polacz->setEnabled(true);
            qWarning("after the device was lost: %s", e.what());
            return;
        }
        message = portErrorMessage(e, ComPort->Port());
    } catch (const std::exception& e) {
        message = QString::fromUtf8(e.what());
    } catch (...) {
        message = QStringLiteral("Nieznany błąd");
    }

    Button_polacz->setEnabled(true);
    if (openErrors_.contains(message)) {
        // The same failure again while its box is still open (a tick meeting a dead port).
        qWarning("repeated while shown: %s", qUtf8Printable(message));
        return;
    }
    openErrors_.append(message);
    const auto forget = qScopeGuard([this, message] { openErrors_.removeOne(message); });

    ShowNotice(MsgKind::Error, message);
    if (conversion) {
        Beep();
        Disconnect();
        ShowNotice(MsgKind::Plain, QStringLiteral("Port COM niedostępny"));
    }
}

// ---- frames ----------------------------------------------------------------------------------

void TForm1::SendFrame(uint8_t address, const ByteString& data)
{
    const FrameAccounting account = accountFrame(Link, address);
    if (account.clock != 0 && account.missed) {
        LinkGauge* bar = Clocks[account.clock].bar;
        bar->SetColor(NamedColor::clRed);
        if (bar->Progress() > 0)
            bar->SetProgress(bar->Progress() - 1);
    }
    if (account.clock != 0) {
        // The first frame of a connection has no earlier frame to judge; from the next on,
        // three unanswered in a row mark the clock's time as old.
        int& silent = silentFrames_[account.clock];
        if (silent < 0 || !account.missed)
            silent = 0;
        else if (++silent >= 3)
            setSilent(account.clock, true);
    }
    Link.TxFrame = Frame::build(account.address, data);
    Link.RxPayload.clear();
    echo_.sent(Link.TxFrame);
    ComPort->WriteText(Link.TxFrame);
    if (Traffic)
        emit Traffic->frameSent(Link.TxFrame, &account);
}

void TForm1::VaCommRxChar(TCustomComPort*, int Count)
{
    // No catching here: a failure goes back to the port's event thread, which then ends.
    ByteString chunk;
    ComPort->ReadText(chunk, Count);
    if (Traffic)
        emit Traffic->bytesReceived(chunk);
    const ByteString kept = echo_.filter(chunk);
    if (!echo_.enabled() && echo_.echoesSeen() >= 2 && !echoNoticeShown_) {
        // Two whole copies of what was just sent are no chance: the adapter hears itself.
        echoNoticeShown_ = true;
        statusBar()->showMessage(QStringLiteral("adapter odsyła nadawane ramki – włącz „Odrzucaj echo nadawanych ramek” w menu Opcje"), 30000);
        LogEvent(QStringLiteral("Adapter odsyła nadawane ramki"));
    }
    if (kept.empty() && !chunk.empty())
        return;  // the echo alone, or its start: nothing for the assembler yet
    noteReception(Link, kept);
    AssembleReply();
}

void TForm1::OdrzucajEcho1Click()
{
    echo_.setEnabled(OdrzucajEcho1->isChecked());
    PortOptions options;
    options.dropEcho = OdrzucajEcho1->isChecked();
    options.kernelRs485 = ComPort->KernelRs485();
    FileRoom::Outcome saved;
    if (PortOptionsFile::save(portOptionsPath().toStdString(), options, &saved) != 0)
        LogEvent(QStringLiteral("Nie zapisano opcji portu: %1").arg(QString::fromStdString(saved.message)));
}

void TForm1::AssembleReply()
{
    const AssembleReport report =
        assembleReply(Link, [this](uint8_t address, const ByteString& data) { DecodeStatus(address, data); });
    if (Traffic)
        emit Traffic->replyAssembled(report);
}

void TForm1::DecodeStatus(uint8_t address, const ByteString& data)
{
    const std::optional<StatusDisplay> shown = decodeStatus(Link, address, data);
    if (!shown)
        return;
    ClockPanel& c = Clocks[shown->clock];
    c.czas->setText(QString::fromStdString(shown->timeText));
    silentFrames_[shown->clock] = 0;
    setSilent(shown->clock, false);
    if (c.bar->Progress() < 100)
        c.bar->SetProgress(c.bar->Progress() + 1);
    // Ten replies a second mostly repeat the colours: set them only when they change.
    const QColor back = shown->highlight ? NamedColor::clRed : NamedColor::clBtnFace();
    if (BackColor(c.czas) != back)
        SetBackColor(c.czas, back);
    c.uzas->setText(QString::fromStdString(shown->voltageText));
    const QColor ink = shown->voltageLow ? NamedColor::clRed : NamedColor::clWindowText();
    if (FontColor(c.uzas) != ink)
        SetFontColor(c.uzas, ink);
}

// ---- tick ------------------------------------------------------------------------------------

void TForm1::TimerTimer()
{
    emit tickStarting();
    runTick(Link, *this);
}

void TForm1::timerFired()
{
    guard([this] { TimerTimer(); });
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    lastTickNs_ = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (Timer->isActive())   // stopped meanwhile (window closing, a test driving the tick): stays so
        scheduleTick(true);
}

void TForm1::scheduleTick(bool afterTick)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t monotonicNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    const int64_t sinceUs = lastTickNs_ < 0 ? INT64_C(1) << 40 : (monotonicNs - lastTickNs_) / 1000;
    const int64_t wallUs = seams().wallClockUs ? seams().wallClockUs() : monotonicNs / 1000;
    // Lateness only counts for the tick that just ran; after a pause or a resume it means nothing.
    const int64_t lateUs = afterTick && tickSlotWallUs_ ? std::max<int64_t>(0, wallUs - tickSlotWallUs_) : 0;
    const TickPlan plan = planNextTick(wallUs, sinceUs, tickPace().intervalMs, broadcastComesNext(Link), lateUs);
    tickSlotWallUs_ = plan.slotWallUs;
    Timer->start(static_cast<int>((plan.delayUs + 999) / 1000));
}

void TForm1::serviceMessages()
{
    QCoreApplication::processEvents();
}

void TForm1::writePort(const ByteString& frame)
{
    echo_.sent(frame);
    ComPort->WriteText(frame);
    if (Traffic)
        emit Traffic->frameSent(frame, nullptr);
}

ClockInputs TForm1::clockInputs(int clock)
{
    const ClockPanel& c = Clocks[clock];
    ClockInputs in;
    in.active = c.boxActiv->isChecked();
    in.countDown = c.boxDol->isChecked();
    in.displayOff = c.wbox->isChecked();
    in.brightness = c.jasnosc->value();
    return in;
}

int TForm1::commandTarget()
{
    for (int clock = 1; clock <= 4; ++clock)
        if (TargetButtons[clock]->isChecked())
            return clock;
    return 0;
}

std::string TForm1::minutesText()
{
    return Medit->text().toStdString();
}

std::string TForm1::secondsText()
{
    return Sedit->text().toStdString();
}

std::string TForm1::localTimeOfDay()
{
    return seams().localTimeOfDay ? seams().localTimeOfDay() : std::string("00:00:00");
}

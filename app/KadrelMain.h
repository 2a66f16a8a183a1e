#pragma once
// The main window: the connection strip, the clock group with its five panels, the menu, the
// 100 ms tick and the reception handler. It owns the serial port and the shared link state.
#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>

#include "files/DataFile.h"
#include "dialogs/DialogHosts.h"
#include "link/Echo.h"
#include "link/LinkState.h"
#include "link/Reply.h"
#include "link/Tick.h"
#include "remote/ClockPanelHost.h"
#include "remote/StopwatchHost.h"
#include "widgets/LinkTraffic.h"
#include "widgets/Palette.h"
#include "app/PortReturn.h"

class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class PortWatcher;
class TComComboBox;
class TComPort;
class TCustomComPort;
class LinkGauge;
class TFUstawienia;
class TFPomoc;
class TFAdresy;
class TFormJakieCOM;
class TFMonitor;
class TFZdalne;
class TFDziennik;
class EventLog;
class StatusLine;
class RemoteService;
class MqttBridge;

class EComPort;
struct IdentityRoots;

constexpr size_t ConfigBufferSize = 8192;
constexpr int ClockNameTypedLength = 8;   // the name fields take eight characters when typed

// The controls of one clock's status panel; index 1..4 in TForm1::Clocks.
struct ClockPanel {
    QFrame* panel = nullptr;        // Panel2 .. Panel5
    QLabel* number = nullptr;       // Label2, Label3, Label5, Label7 ("Nr n")
    QLineEdit* name = nullptr;      // ZnName
    QCheckBox* boxActiv = nullptr;  // ZnboxActiv
    QLineEdit* czas = nullptr;      // Znczas
    LinkGauge* bar = nullptr;       // Znbar
    QLabel* labelD = nullptr;       // LabelDn
    QCheckBox* boxDol = nullptr;    // ZnboxDol
    QLabel* labelW = nullptr;       // Ln ("Wył")
    QCheckBox* wbox = nullptr;      // W1box, W2Box, W3Box, W4Box
    QSlider* jasnosc = nullptr;     // Znjasnosc
    QLabel* labelUzas = nullptr;    // LabelUzasn
    QLabel* uzas = nullptr;         // ZnUzas
    QPushButton* btnZ = nullptr;    // BtnZn ("RTC")
    QPushButton* btnS = nullptr;    // BtnSn ("Stoper")
};

class TForm1 : public QMainWindow, private TickHost, public FirmwareHost, public PortListHost, public MonitorHost,
               public StopwatchHost, public ClockPanelHost {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The shared link state.
    LinkState Link;
    // The traffic's signals (the bus monitor watches them), right after each write, read and
    // assembler run. Guarded: the window's children go before the last of the port's events.
    QPointer<LinkTraffic> Traffic;
    // The image buffer of the settings file and the firmware image, and its file variable.
    std::array<uint8_t, ConfigBufferSize> ConfigBuffer{};
    TDataFile DataFile;

    TComPort* ComPort = nullptr;
    QStringList PortNames;    // port names, in the device map's order
    QStringList PortDevices;  // device names, same index

    // Frame sender: reply accounting, RTC offset, checksum, write.
    void SendFrame(uint8_t address, const ByteString& data) override;
    void Disconnect();
    // The maintenance dialogs keep the bus to their own frames while they are open. Polling
    // resumes only on a port that is still open: one lost meanwhile (adapter pulled) has been
    // disconnected, and a tick writing to it would fail at every turn.
    void PausePolling() override { Link.LinkActive = 0; }
    void ResumePolling() override;
    void ReadPortList(QStringList& target);
    void FillPortCombo() override;
    void ShowClock(int clock);
    void HideClock(int clock);
    // Sets a clock's name field, keeping a stored name longer than typing allows whole.
    void SetClockName(int clock, const QString& name);
    void LoadSettings();
    void SaveSettings();
    bool LoadTaggedFile(TDataFile& file, const char* tag) override;
    // Application-wide exception handler; called by guard() and, for what escapes elsewhere,
    // by KadrelApplication::notify.
    void HandleException(std::exception_ptr error);
    // Runs a handler; what it raises goes to HandleException here, at the handler's edge.
    // Letting it unwind instead would pass through toolkit code built without exception
    // support, whose clean-up would then be skipped. The dialogs' handlers may use it too.
    void guard(const std::function<void()>& handler) noexcept override;

    // Reception (OnRxChar), assembly and decoding.
    void VaCommRxChar(TCustomComPort* Sender, int Count);
    void AssembleReply();
    void DecodeStatus(uint8_t address, const ByteString& data);

    // The tick handler.
    void TimerTimer();

    // Window handlers.
    void Button_polaczClick();   // "START": connect
    void Button2Click();         // "STOP"
    void Button6Click();         // "COM?"
    void ComComboChange();
    void ComComboExit();
    void Zmianaadresu1Click();
    void Aktualizacja1Click();
    void Zapiszustawienia1Click();
    void Pomoc2Click();
    void Monitor1Click();        // "Monitor": the bus monitor, created once, modeless
    void Dziennik1Click();       // "Dziennik zdarzeń": the event log, created once, modeless
    void Autostart1Click();      // "Uruchamiaj po zalogowaniu": the XDG autostart entry
    void OdrzucajEcho1Click();   // "Odrzucaj echo nadawanych ramek": the echo filter, kept in port-options
    // The port vanished under the open connection (unplugged adapter, hang-up).
    void ComPortDeviceLost(const EComPort& error);

    // Unattended running. After a lost device the window waits for the same port (or the same
    // adapter under another path) and connects again by itself; the status bar says so.
    bool WaitingForPort() const { return waiting_; }
    void StopWaiting();
    // The device map changed: the selector (and an open port list) follow, keeping the
    // selection by name; a waiting window looks for its port.
    void PortsChanged();
    // The system clock's synchronisation, checked at start and every minute.
    void CheckClockSync();
    // The start's own connect: "START" if "połącz po starcie" is checked, or the wait for the
    // stored adapter when it is not there yet. Run when the window is first shown, or by the
    // program without a screen, which never shows it.
    void ConnectAtStart();
    // Ends at once (SIGTERM, SIGINT): traffic stops and the port closes without the
    // disconnect's one-second wait, then the window reports itself closed.
    void ShutDown();
    // The event log the window writes to and shows; the program sets it, tests may leave it.
    EventLog* Log = nullptr;
    // A clock whose last three frames went unanswered shows its time as old.
    bool ClockSilent(int clock) const { return silentMark_[clock]; }

    // Stopwatch panel handlers.
    void Button3Click();         // "START": PendingCommand 1
    void Button4Click();         // "STOP": 2
    void Button5Click();         // "USTAW": 3
    void Button11Click();        // "ZERUJ"
    void PresetClick(const QString& minutes);  // "2 m" .. "60 m"
    void MeditExit();
    void SeditExit();
    void Panel1DblClick();
    // Key filter of Medit and Sedit: carriage return, backspace and digits pass.
    static bool KeyPasses(const QString& typed);

    // Clock panel handlers, by clock number 1..4.
    void ZboxActivClick(int clock);
    void WboxClick(int clock);
    void BtnZClick(int clock);   // "RTC"
    void BtnSClick(int clock);   // "Stoper"
    void ZczasDblClick(int clock);

    // Connection strip.
    QGroupBox* GroupBox1 = nullptr;
    QPushButton* Button6 = nullptr;        // "COM?"
    TComComboBox* ComCombo = nullptr;
    QLineEdit* Edit_status = nullptr;
    QCheckBox* BoxAuto = nullptr;
    QPushButton* Button_polacz = nullptr;  // "START"
    QPushButton* Button2 = nullptr;        // "STOP"
    QGroupBox* GroupZegary = nullptr;
    QTimer* Timer = nullptr;       // single-shot, re-armed at each tick for the next wall-clock slot
    QTimer* SyncTimer = nullptr;   // once a minute: the system clock's synchronisation
    PortWatcher* Watcher = nullptr;
    StatusLine* StatusLink = nullptr;  // status bar: the lost port's wait and its reconnection
    QLabel* StatusSync = nullptr;  // status bar: an unsynchronised system clock, in red

    // Menu.
    QMenuBar* MainMenu1 = nullptr;
    QMenu* Opcje1 = nullptr;
    QAction* Zmianaadresu1 = nullptr;
    QAction* Aktualizacja1 = nullptr;
    QAction* Zapiszustawienia1 = nullptr;
    QAction* Pomoc2 = nullptr;
    QAction* Monitor1 = nullptr;
    QAction* Dziennik1 = nullptr;
    QAction* Autostart1 = nullptr;
    QAction* OdrzucajEcho1 = nullptr;
    // Drops the echo of each written frame (adapters that hear themselves) before assembly.
    EchoFilter echo_;
    bool echoNoticeShown_ = false;  // the suggestion to switch the filter on is made once

    // Stopwatch control panel.
    QFrame* Panel1 = nullptr;
    QLabel* Label6 = nullptr;       // "Sterowanie stoper"
    QPushButton* Button3 = nullptr; // "START"
    QPushButton* Button4 = nullptr; // "STOP"
    QPushButton* Button5 = nullptr; // "USTAW"
    QPushButton* Button11 = nullptr;// "ZERUJ"
    QLabel* Label1 = nullptr;       // "Min."
    QLabel* Label4 = nullptr;       // "Sek."
    QLabel* Label9 = nullptr;       // ":"
    std::array<QPushButton*, 10> PresetButtons{}; // Button1, 7, 8, 9, 10, 12, 13, 16, 14, 15
    QLineEdit* Medit = nullptr;
    QLineEdit* Sedit = nullptr;
    QRadioButton* Z1_4 = nullptr;                 // "W"
    std::array<QRadioButton*, 5> TargetButtons{}; // Z1b..Z4b at 1..4

    std::array<ClockPanel, 5> Clocks{};

    // Dialog instances (the three modal ones exist only while open).
    TFUstawienia* FUstawienia = nullptr;
    TFPomoc* FPomoc = nullptr;
    TFAdresy* FAdresy = nullptr;
    TFormJakieCOM* FormJakieCOM = nullptr;
    TFMonitor* FMonitor = nullptr;
    TFDziennik* FDziennik = nullptr;

    // What the dialogs see of the window (dialogs/DialogHosts.h).
    QWidget* hostWindow() override { return this; }
    LinkState& linkState() override { return Link; }
    QTimer* tickTimer() override { return Timer; }
    bool portOpen() const override;
    TDataFile& dataFile() override { return DataFile; }
    uint8_t* configBuffer() override { return ConfigBuffer.data(); }
    const QStringList& portNames() const override { return PortNames; }
    const QStringList& portDevices() const override { return PortDevices; }
    LinkTraffic* linkTraffic() override { return Traffic; }
    void showEventLog() override { Dziennik1Click(); }

    // Remote operation (app/RemoteHost.cpp): the page and API drive the stopwatch panel's own
    // controls through StopwatchHost.
    RemoteService* Remote = nullptr;
    QAction* Zdalne1 = nullptr;            // "Zdalne sterowanie"
    TFZdalne* FZdalne = nullptr;
    void Zdalne1Click();
    PanelView panelView() const override;
    CommandOutcome runStopwatchCommand(const StopwatchCommand& command) override;
    void watchPanels(std::function<void()> changed) override;
    // The broker link (app/MqttHost.cpp): the same StopwatchHost, fed by panelsChanged and the
    // traffic's replies.
    MqttBridge* Mqtt = nullptr;
    CommandOutcome runClockCommand(const ClockCommand& command) override;
    // Whether a command can go out now: done, or refused because the port is closed or a
    // maintenance dialog holds the bus (the remote API's, the broker's and the plan's one test).
    CommandOutcome busReady() const;
    // A clock panel's control set as a click would, whatever the bus (the plan keeps a setting
    // due while the bus is away, and every poll then carries it).
    void setPanelControl(const ClockCommand& command);

signals:
    // The window has closed; the program's message loop ends on it.
    void windowClosed();
    // Something the stopwatch panel shows has changed (the remote page's view of it).
    void panelsChanged();
    // A tick begins, before it chooses its frame: what is queued now goes out in this tick.
    void tickStarting();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void startRemote();
    void stopRemote();
    void startMqtt();
    void stopMqtt();
    void connectNotify(const QMetaMethod& signal) override;
    QMetaObject::Connection panelsWatch_;
    QString virtualRefusalTold_;   // the virtual ports' refusal last told
    bool panelsWired_ = false;
    void FormCreate();
    void buildConnectionStrip();
    void buildMenu();
    void buildClockGroup();
    QFrame* buildStopwatchPanel();
    QFrame* buildClockPanel(int clock);
    void fitToContents();
    void buildStatusBar();
    void nameControls();
    // Connect's step 3 when the port is open: the Connected state.
    void showConnected();
    void scheduleTick(bool afterTick = false);
    void timerFired();
    void tryReconnect();
    void refreshPortCombo();
    void setSilent(int clock, bool silent);
    void updateTimeAccessibleName(int clock);
    void rememberPortIdentity();
    void applyStoredPortIdentity();
    bool panelEventFilter(QObject* watched, QEvent* event);
    template <class Dialog> void runModal(Dialog*& instance);
    template <class Method> auto handler(Method method)
    {
        return [this, method] { guard([this, method] { (this->*method)(); }); };
    }

    // TickHost
    void serviceMessages() override;
    void sendFrame(uint8_t address, const ByteString& data) override { SendFrame(address, data); }
    void writePort(const ByteString& frame) override;
    ClockInputs clockInputs(int clock) override;
    int commandTarget() override;
    std::string minutesText() override;
    std::string secondsText() override;
    std::string localTimeOfDay() override;

    bool shown_ = false;
    // Counts the connections made; a disconnect whose wait saw a new connection leaves its port open.
    unsigned connectGeneration_ = 0;
    // Messages of the error boxes now open: a failure repeating while its box is up (each tick
    // writing to a dead port) is not shown again.
    QStringList openErrors_;
    // Set while a lost device is being reported: its failing write and the port's own notice
    // make one report.
    bool losingDevice_ = false;

    // The reconnect wait: the lost port's name and identity.
    bool waiting_ = false;
    bool holdReconnect_ = false;   // while the loss's own disconnect runs
    PortReturn portReturn_;
    // The device map's entries as the port list last read them.
    std::vector<PortEntry> portEntries() const;
    QString lostAt_;               // "hh:mm:ss" of the loss, for the status bar
    qint64 lostMs_ = 0;            // monotonic ms of the loss, for the log
    int lostNotice_ = 0;           // the loss's box, closed by the return
    void setWaitStatus(const QString& before, const QString& port, const QString& after);
    int syncKnown_ = -1;           // the last clock-sync state logged: -1 none, 0 no, 1 yes
    std::string connectedIdentity_;
    QTimer* retryOpen_ = nullptr;  // a returned device that would not open yet is tried again
    // Monotonic time of the last tick, for the minimum spacing of ticks.
    int64_t lastTickNs_ = -1;
    int64_t tickSlotWallUs_ = 0;   // the wall-clock slot the armed tick stands for
    std::array<int, 5> silentFrames_{-1, -1, -1, -1, -1};   // unanswered frames in a row; -1 none sent yet
    std::array<bool, 5> silentMark_{};
};

extern TForm1* Form1;

QString linkStamp(const QString& path);

// Where port identities are looked up: the seams' sysfs, by-id and virtual-port folders.
IdentityRoots identityRoots();

// A focus-out that moves the focus to another control; a popup opening or the window losing
// activation leaves the control focused when it comes back, so it is no "exit".
bool leavesControl(const QEvent* focusOut);

#pragma once
// The main window: the connection strip, the clock group with its five panels, the menu, the
// 100 ms tick and the reception handler. It owns the serial port and the shared link state.
#include <QMainWindow>
#include <QStringList>
#include <array>
#include <cstdint>
#include <exception>

#include "app/DataFile.h"
#include "link/LinkState.h"
#include "link/Reply.h"
#include "link/Tick.h"

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
class TComComboBox;
class TComPort;
class TCustomComPort;
class LinkGauge;
class TFUstawienia;
class TFPomoc;
class TFAdresy;
class TFormJakieCOM;

constexpr size_t ConfigBufferSize = 8192;

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

class TForm1 : public QMainWindow, private TickHost {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The shared link state.
    LinkState Link;
    // The image buffer of the settings file and the firmware image, and its file variable.
    std::array<uint8_t, ConfigBufferSize> ConfigBuffer{};
    TDataFile DataFile;

    TComPort* ComPort = nullptr;
    QStringList PortNames;    // port names, in the device map's order
    QStringList PortDevices;  // device names, same index

    // Frame sender: reply accounting, RTC offset, checksum, write.
    void SendFrame(uint8_t address, const ByteString& data);
    void Disconnect();
    void ReadPortList(QStringList& target);
    void FillPortCombo();
    void ShowClock(int clock);
    void HideClock(int clock);
    void LoadSettings();
    void SaveSettings();
    bool LoadTaggedFile(TDataFile& file, const char* tag);
    // Application-wide exception handler; called from KadrelApplication::notify.
    void HandleException(std::exception_ptr error);

    // Reception (OnRxChar), assembly and decoding.
    void VaCommRxChar(TCustomComPort* Sender, int Count);
    void AssembleReply();
    void DecodeStatus(uint8_t address, const ByteString& data);

    // The tick handler.
    void TimerTimer();

    // Connection strip.
    QGroupBox* GroupBox1 = nullptr;
    QPushButton* Button6 = nullptr;        // "COM?"
    TComComboBox* ComCombo = nullptr;
    QLineEdit* Edit_status = nullptr;
    QCheckBox* BoxAuto = nullptr;
    QPushButton* Button_polacz = nullptr;  // "START"
    QPushButton* Button2 = nullptr;        // "STOP"
    QGroupBox* GroupZegary = nullptr;
    QTimer* Timer = nullptr;

    // Menu.
    QMenuBar* MainMenu1 = nullptr;
    QMenu* Opcje1 = nullptr;
    QAction* Zmianaadresu1 = nullptr;
    QAction* Aktualizacja1 = nullptr;
    QAction* Zapiszustawienia1 = nullptr;
    QAction* Pomoc2 = nullptr;

    // Stopwatch control panel.
    QFrame* Panel1 = nullptr;
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

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
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
};

extern TForm1* Form1;

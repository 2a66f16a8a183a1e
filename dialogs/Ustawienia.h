#pragma once
// Firmware update dialog "Aktualizacja": the clock, the "*.zfr" file and the transfer. Polling
// is paused while the dialog exists; the transfer itself is Firmware::transfer, which waits in
// the event loop for each acknowledgement.
#include <QDialog>
#include <array>
#include <cstdint>

#include "dialogs/FirmwareImage.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class FirmwareHost;

class TFUstawienia : public QDialog {
    Q_OBJECT
public:
    explicit TFUstawienia(FirmwareHost* owner);
    ~TFUstawienia() override;

    // Size of the image last chosen, tag and check byte included; outlives the dialog, as the
    // image in the main window's buffer does.
    static uint16_t ImageSize;

    void FormCreate();
    void FormClose();
    void Button1Click();      // "Plik"
    void ButtonStartClick();  // "Start"

    bool transferring() const { return transferring_; }
    const Firmware::Result& lastResult() const { return lastResult_; }

    QFrame* Ustawienia = nullptr;
    QLabel* Label1 = nullptr;
    std::array<QRadioButton*, 5> Radio{};  // Radio1..Radio4 at 1..4
    QLabel* LabelNazwaPliku = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* ButtonStart = nullptr;
    QProgressBar* BarBoot = nullptr;

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Host;
    void watchTimeout();

    FirmwareHost* form_;
    QTimer* watchdog_ = nullptr;
    bool transferring_ = false;
    bool closePending_ = false;
    bool closed_ = false;
    int stalledWatches_ = 0;
    Firmware::Result lastResult_;
};

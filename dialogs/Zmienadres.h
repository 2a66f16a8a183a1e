#pragma once
// Address change dialog "FAdresy": tells the clock at its present bus address to take a new
// one. One command frame (0x01, new address) goes through the main window's SendFrame, which
// applies the clock's RTC offset and reply accounting; no answer is awaited.
//
// Polling stops while the dialog exists (LinkActive 0 from creation) and resumes when it closes,
// by its close box or after sending. Both lists are pick-only, so some address is always chosen:
// a typed or empty choice would have given position -1, the address byte 0, which every clock
// takes as "all clocks".
#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
class BusHost;

class TFAdresy : public QDialog {
    Q_OBJECT
public:
    explicit TFAdresy(BusHost* owner);
    ~TFAdresy() override;

    // "Zmień adres": sends the command to the present address and closes the dialog.
    void Button1Click();
    // Any close (close box, Escape, after sending); resumes polling once.
    void done(int result) override;

    QLabel* Label1 = nullptr;        // "Aktualny adres"
    QComboBox* TerazAdres = nullptr; // present address, "1".."4"
    QLabel* Label2 = nullptr;        // "Nowy adres"
    QComboBox* NowyAdres = nullptr;  // new address, "1".."4"
    QPushButton* Button1 = nullptr;  // "Zmień adres"

private:
    void FormCreate();
    void FormClose();

    BusHost* owner_;
    bool paused_ = false;  // polling was paused by this dialog and not yet resumed
};

#pragma once
// Port list dialog "Porty COM": the main window's port names beside their devices, line for
// line. Created once at start-up, modeless, hidden (not destroyed) by its close box. It keeps
// nothing of its own: every fill rebuilds both memos from the owner's PortNames and PortDevices.
#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class PortListHost;

class TFormJakieCOM : public QDialog {
    Q_OBJECT
public:
    explicit TFormJakieCOM(PortListHost* owner);
    ~TFormJakieCOM() override;
    // Fills the two memos from the main window's PortNames and PortDevices, line for line.
    void Fill();
    // "Odświerz": shows the dialog, re-reads the ports into the main window (without
    // disconnecting) and fills the memos again.
    void Button1Click();
    // "Sieć…": the network-port dialog; a change there refreshes the lists as "Odświerz" does.
    void ButtonSiecClick();

    QLabel* Label1 = nullptr;          // "Dostępne porty COM w systemie"
    QPlainTextEdit* PortyCom = nullptr;
    QPlainTextEdit* DevCom = nullptr;
    QPushButton* Button1 = nullptr;    // "Odświerz"
    QPushButton* ButtonSiec = nullptr; // "Sieć…"

private:
    PortListHost* owner_;
};

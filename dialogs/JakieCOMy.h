#pragma once
// Port list dialog "Porty COM": modeless, created once, hidden by its close box.
#include <QDialog>

class QPlainTextEdit;
class TForm1;

class TFormJakieCOM : public QDialog {
    Q_OBJECT
public:
    explicit TFormJakieCOM(TForm1* owner);
    ~TFormJakieCOM() override;
    // Fills the two memos from the main window's PortNames and PortDevices, line for line.
    void Fill();
    QPlainTextEdit* PortyCom = nullptr;
    QPlainTextEdit* DevCom = nullptr;
};

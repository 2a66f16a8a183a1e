#pragma once
// Firmware update dialog "Aktualizacja".
#include <QDialog>

class TForm1;

class TFUstawienia : public QDialog {
    Q_OBJECT
public:
    explicit TFUstawienia(TForm1* owner);
    ~TFUstawienia() override;
};

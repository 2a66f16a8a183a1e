#pragma once
// Help dialog "Pomoc".
#include <QDialog>

class TForm1;

class TFPomoc : public QDialog {
    Q_OBJECT
public:
    explicit TFPomoc(TForm1* owner);
    ~TFPomoc() override;
};

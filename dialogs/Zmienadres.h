#pragma once
// Address change dialog "FAdresy".
#include <QDialog>

class TForm1;

class TFAdresy : public QDialog {
    Q_OBJECT
public:
    explicit TFAdresy(TForm1* owner);
    ~TFAdresy() override;
};

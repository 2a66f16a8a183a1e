#pragma once
// The "MQTT" tab of "Zdalne sterowanie": the broker link's settings (broker, TLS, account, the
// site's and bus's names, Home Assistant's discovery), its state and the topics it uses.
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class MqttBridge;
class WindowHost;

class TMqttTab : public QWidget {
    Q_OBJECT
public:
    TMqttTab(WindowHost* owner, MqttBridge* bridge, QWidget* parent);

    void ButtonZastosujClick();   // "Zastosuj": stores the settings and reconnects

    QCheckBox* BoxWlacz = nullptr;
    QLineEdit* EditHost = nullptr;
    QSpinBox* EditPort = nullptr;
    QCheckBox* BoxTls = nullptr;
    QLineEdit* EditCa = nullptr;
    QLineEdit* EditUzytkownik = nullptr;
    QLineEdit* EditHaslo = nullptr;
    QLineEdit* EditMiejsce = nullptr;
    QLineEdit* EditMagistrala = nullptr;
    QCheckBox* BoxWykrywanie = nullptr;
    QLabel* LabelTemat = nullptr;
    QLabel* LabelStan = nullptr;
    QPushButton* ButtonZastosuj = nullptr;

private:
    void showSettings();
    void showState();

    WindowHost* owner_;
    MqttBridge* bridge_;
};

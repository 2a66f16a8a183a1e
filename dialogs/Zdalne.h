#pragma once
// "Zdalne sterowanie": turns the remote page and API on or off, sets the TCP port, shows the
// page's address for each of the PC's network addresses with its QR code, and makes a new access
// token (the old links stop working); the same for the view page and its own key, which the
// overlay for a stream shares.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class MqttBridge;
class RemoteService;
class TMqttTab;
class WindowHost;

class TFZdalne : public QDialog {
    Q_OBJECT
public:
    // With a broker link, its own tab "MQTT" beside the pages' tabs.
    TFZdalne(WindowHost* owner, RemoteService* service, MqttBridge* mqtt = nullptr);
    ~TFZdalne() override;

    void ButtonZastosujClick();   // "Zastosuj": on/off and port
    void ButtonNowyKluczClick();  // "Nowy klucz"
    void ButtonKopiujClick();     // "Kopiuj adres"
    void ButtonNowyKluczPodgladuClick();  // the view page's "Nowy klucz"
    void ButtonKopiujPodgladClick();      // the view page's "Kopiuj adres"
    void ButtonKopiujNakladkeClick();     // "Kopiuj adres nakładki"
    void ComboAdresyChange();

    QCheckBox* BoxWlacz = nullptr;
    QSpinBox* EditPort = nullptr;
    QPushButton* ButtonZastosuj = nullptr;
    QLabel* LabelStan = nullptr;
    QComboBox* ComboAdresy = nullptr;
    QLabel* LabelQR = nullptr;
    QLineEdit* EditAdres = nullptr;
    QPushButton* ButtonKopiuj = nullptr;
    QPushButton* ButtonNowyKlucz = nullptr;
    QTabWidget* Strony = nullptr;         // "Sterowanie" and "Podgląd"
    QLabel* LabelQRPodgladu = nullptr;
    QLineEdit* EditAdresPodgladu = nullptr;
    QPushButton* ButtonKopiujPodglad = nullptr;
    QPushButton* ButtonNowyKluczPodgladu = nullptr;
    QCheckBox* BoxKampus = nullptr;       // with a broker link: the view with the site's other buses
    QComboBox* ComboZegarNakladki = nullptr;
    QLabel* LabelQRNakladki = nullptr;
    QLineEdit* EditAdresNakladki = nullptr;
    QPushButton* ButtonKopiujNakladke = nullptr;
    QPushButton* ButtonZamknij = nullptr;
    TMqttTab* ZakladkaMqtt = nullptr;

private:
    void showState();

    WindowHost* owner_;
    RemoteService* service_;
};

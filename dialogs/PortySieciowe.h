#pragma once
// "Porty sieciowe": the operator adds and removes network ports (a device server's address,
// raw TCP or RFC 2217). Opened modally from the port list dialog; every change is saved at once
// to the network-port file and then announced through `changed`, so the port lists follow.
#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

class TFPortySieciowe : public QDialog {
    Q_OBJECT
public:
    TFPortySieciowe(QWidget* parent, QString filePath, std::function<void()> changed);

    // "Dodaj": the address from Rodzaj, Adres and PortIp; a bad or repeated one is refused with a box.
    void DodajClick();
    // "Usuń": removes the selected entry.
    void UsunClick();
    const std::vector<std::string>& Addresses() const { return addresses_; }

    QListWidget* Lista = nullptr;
    QComboBox* Rodzaj = nullptr;     // "TCP", "RFC 2217"
    QLineEdit* Adres = nullptr;      // host name or IP address
    QSpinBox* PortIp = nullptr;      // TCP port
    QPushButton* Dodaj = nullptr;
    QPushButton* Usun = nullptr;
    QPushButton* Zamknij = nullptr;

private:
    bool store(const std::vector<std::string>& next);
    void refill();

    QString path_;
    std::function<void()> changed_;
    std::vector<std::string> addresses_;
};

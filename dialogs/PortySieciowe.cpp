#include "dialogs/PortySieciowe.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "widgets/Seams.h"
#include "serial/NetworkPorts.h"

TFPortySieciowe::TFPortySieciowe(QWidget* parent, QString filePath, std::function<void()> changed)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      path_(std::move(filePath)), changed_(std::move(changed))
{
    setObjectName(QStringLiteral("FPortySieciowe"));
    setWindowTitle(QStringLiteral("Porty sieciowe"));
    setModal(true);

    auto* column = new QVBoxLayout(this);
    auto* heading = new QLabel(QStringLiteral("Serwery portów (Ethernet – RS485) dodane do listy portów:"), this);
    heading->setObjectName(QStringLiteral("Label1"));
    column->addWidget(heading);
    Lista = new QListWidget(this);
    Lista->setObjectName(QStringLiteral("Lista"));
    Lista->setMinimumSize(300, 110);
    column->addWidget(Lista);

    auto* form = new QFormLayout;
    Rodzaj = new QComboBox(this);
    Rodzaj->setObjectName(QStringLiteral("Rodzaj"));
    Rodzaj->addItems({QStringLiteral("RFC 2217"), QStringLiteral("TCP")});
    Rodzaj->setToolTip(QStringLiteral("RFC 2217 ustawia też prędkość i format łącza; TCP przesyła same bajty"));
    form->addRow(QStringLiteral("Rodzaj:"), Rodzaj);
    Adres = new QLineEdit(this);
    Adres->setObjectName(QStringLiteral("Adres"));
    Adres->setPlaceholderText(QStringLiteral("np. 192.168.1.50 lub serwer.lan"));
    Adres->setMaxLength(253);
    form->addRow(QStringLiteral("Adres:"), Adres);
    PortIp = new QSpinBox(this);
    PortIp->setObjectName(QStringLiteral("PortIp"));
    PortIp->setRange(1, 65535);
    PortIp->setValue(4001);
    form->addRow(QStringLiteral("Port TCP:"), PortIp);
    column->addLayout(form);

    auto* buttons = new QHBoxLayout;
    Dodaj = new QPushButton(QStringLiteral("Dodaj"), this);
    Dodaj->setObjectName(QStringLiteral("Dodaj"));
    Usun = new QPushButton(QStringLiteral("Usuń"), this);
    Usun->setObjectName(QStringLiteral("Usun"));
    Zamknij = new QPushButton(QStringLiteral("Zamknij"), this);
    Zamknij->setObjectName(QStringLiteral("Zamknij"));
    for (QPushButton* b : {Dodaj, Usun, Zamknij}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    column->addLayout(buttons);
    connect(Dodaj, &QPushButton::clicked, this, &TFPortySieciowe::DodajClick);
    connect(Adres, &QLineEdit::returnPressed, this, &TFPortySieciowe::DodajClick);
    connect(Usun, &QPushButton::clicked, this, &TFPortySieciowe::UsunClick);
    connect(Zamknij, &QPushButton::clicked, this, &QDialog::accept);
    connect(Lista, &QListWidget::currentRowChanged, this, [this](int row) { Usun->setEnabled(row >= 0); });

    addresses_ = NetworkPorts::load(path_.toStdString());
    refill();
}

void TFPortySieciowe::refill()
{
    Lista->clear();
    for (const std::string& a : addresses_)
        Lista->addItem(QString::fromStdString(a));
    Usun->setEnabled(false);
}

bool TFPortySieciowe::store(const std::vector<std::string>& next)
{
    FileRoom::Outcome saved;
    if (NetworkPorts::save(path_.toStdString(), next, &saved) != 0) {
        ShowMessage(MsgKind::Error, QStringLiteral("Nie można zapisać listy portów sieciowych w „%1”: %2")
                                        .arg(path_, QString::fromStdString(saved.reason)));
        return false;
    }
    addresses_ = next;
    refill();
    if (changed_)
        changed_();
    return true;
}

void TFPortySieciowe::DodajClick()
{
    const QString scheme = Rodzaj->currentIndex() == 1 ? QStringLiteral("tcp://") : QStringLiteral("rfc2217://");
    QString host = Adres->text().trimmed();
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');  // an IPv6 address
    const std::string address =
        NetworkPorts::normalise((scheme + host + QLatin1Char(':') + QString::number(PortIp->value())).toStdString());
    if (Adres->text().trimmed().isEmpty() || address.empty()) {
        ShowMessage(MsgKind::Warning, QStringLiteral("Nieprawidłowy adres serwera: „%1”.").arg(Adres->text()));
        return;
    }
    if (std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end()) {
        ShowMessage(MsgKind::Information, QStringLiteral("Port %1 już jest na liście.").arg(QString::fromStdString(address)));
        return;
    }
    if (addresses_.size() >= NetworkPorts::MaxEntries) {
        ShowMessage(MsgKind::Warning, QStringLiteral("Lista portów sieciowych jest pełna (%1).").arg(NetworkPorts::MaxEntries));
        return;
    }
    std::vector<std::string> next = addresses_;
    next.push_back(address);
    if (store(next))
        Adres->clear();
}

void TFPortySieciowe::UsunClick()
{
    const int row = Lista->currentRow();
    if (row < 0 || row >= static_cast<int>(addresses_.size()))
        return;
    std::vector<std::string> next = addresses_;
    next.erase(next.begin() + row);
    store(next);
}

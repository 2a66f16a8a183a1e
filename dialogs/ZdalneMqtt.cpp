#include "dialogs/ZdalneMqtt.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "dialogs/DialogHosts.h"
#include "mqtt/MqttBridge.h"
#include "mqtt/MqttTopics.h"
#include "widgets/AccessibleNames.h"

TMqttTab::TMqttTab(WindowHost* owner, MqttBridge* bridge, QWidget* parent)
    : QWidget(parent), owner_(owner), bridge_(bridge)
{
    setObjectName(QStringLiteral("MqttTab"));
    auto* column = new QVBoxLayout(this);
    auto* about = new QLabel(QStringLiteral("Stan zegarów i polecenia przez broker MQTT, z wykrywaniem w Home Assistant."), this);
    about->setWordWrap(true);
    column->addWidget(about);

    const QString subject = QStringLiteral("MQTT");
    const auto line = [this, &subject](const char* name, const QString& what) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        nameField(e, subject, what);
        return e;
    };
    auto* form = new QFormLayout;
    BoxWlacz = new QCheckBox(QStringLiteral("Połączenie z brokerem włączone"), this);
    BoxWlacz->setObjectName(QStringLiteral("BoxMqttWlacz"));
    form->addRow(BoxWlacz);
    auto* brokerRow = new QHBoxLayout;
    EditHost = line("EditMqttHost", QStringLiteral("adres brokera"));
    EditPort = new QSpinBox(this);
    EditPort->setObjectName(QStringLiteral("EditMqttPort"));
    EditPort->setRange(1, 65535);
    nameField(EditPort, subject, QStringLiteral("port brokera"));
    brokerRow->addWidget(EditHost, 1);
    brokerRow->addWidget(EditPort);
    form->addRow(QStringLiteral("Broker:"), brokerRow);
    BoxTls = new QCheckBox(QStringLiteral("TLS"), this);
    BoxTls->setObjectName(QStringLiteral("BoxMqttTls"));
    form->addRow(BoxTls);
    EditCa = line("EditMqttCa", QStringLiteral("plik urzędu certyfikacji"));
    EditCa->setPlaceholderText(QStringLiteral("certyfikaty systemu"));
    form->addRow(QStringLiteral("Plik CA:"), EditCa);
    EditUzytkownik = line("EditMqttUzytkownik", QStringLiteral("nazwa użytkownika"));
    form->addRow(QStringLiteral("Użytkownik:"), EditUzytkownik);
    EditHaslo = line("EditMqttHaslo", QStringLiteral("hasło"));
    EditHaslo->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Hasło:"), EditHaslo);
    EditMiejsce = line("EditMqttMiejsce", QStringLiteral("nazwa miejsca"));
    form->addRow(QStringLiteral("Miejsce:"), EditMiejsce);
    EditMagistrala = line("EditMqttMagistrala", QStringLiteral("nazwa magistrali"));
    form->addRow(QStringLiteral("Magistrala:"), EditMagistrala);
    BoxWykrywanie = new QCheckBox(QStringLiteral("Wykrywanie w Home Assistant"), this);
    BoxWykrywanie->setObjectName(QStringLiteral("BoxMqttWykrywanie"));
    form->addRow(BoxWykrywanie);
    LabelTemat = new QLabel(this);
    LabelTemat->setObjectName(QStringLiteral("LabelMqttTemat"));
    LabelTemat->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QStringLiteral("Tematy:"), LabelTemat);
    LabelStan = new QLabel(this);
    LabelStan->setObjectName(QStringLiteral("LabelMqttStan"));
    LabelStan->setWordWrap(true);
    form->addRow(QStringLiteral("Stan:"), LabelStan);
    column->addLayout(form);
    auto* buttons = new QHBoxLayout;
    ButtonZastosuj = new QPushButton(QStringLiteral("Zastosuj"), this);
    ButtonZastosuj->setObjectName(QStringLiteral("ButtonMqttZastosuj"));
    ButtonZastosuj->setAutoDefault(false);
    nameAfterCaption(ButtonZastosuj, subject);
    buttons->addWidget(ButtonZastosuj);
    buttons->addStretch(1);
    column->addLayout(buttons);
    column->addStretch(1);

    const auto topic = [this] {
        LabelTemat->setText(QString::fromUtf8(MqttTopics::base(EditMiejsce->text(), EditMagistrala->text())) + QLatin1Char('#'));
    };
    connect(EditMiejsce, &QLineEdit::textChanged, this, topic);
    connect(EditMagistrala, &QLineEdit::textChanged, this, topic);
    connect(ButtonZastosuj, &QPushButton::clicked, this, [this] { owner_->guard([this] { ButtonZastosujClick(); }); });
    connect(bridge_, &MqttBridge::stateChanged, this, &TMqttTab::showState);
    showSettings();
    showState();
}

void TMqttTab::showSettings()
{
    const MqttSettings& s = bridge_->settings();
    BoxWlacz->setChecked(s.enabled);
    EditHost->setText(s.host);
    EditPort->setValue(s.port);
    BoxTls->setChecked(s.tls);
    EditCa->setText(s.caFile);
    EditUzytkownik->setText(s.user);
    EditHaslo->setText(s.password);
    EditMiejsce->setText(s.site);
    EditMagistrala->setText(s.bus);
    BoxWykrywanie->setChecked(s.discovery);
}

void TMqttTab::showState()
{
    QString text;
    if (!bridge_->lastError().isEmpty())
        text = bridge_->lastError();
    else if (bridge_->connected())
        text = QStringLiteral("Połączono z brokerem");
    else if (bridge_->settings().enabled)
        text = QStringLiteral("Łączenie z brokerem…");
    else
        text = QStringLiteral("Wyłączone");
    LabelStan->setText(text);
}

void TMqttTab::ButtonZastosujClick()
{
    MqttSettings s = bridge_->settings();
    s.enabled = BoxWlacz->isChecked();
    s.host = EditHost->text().trimmed();
    s.port = static_cast<quint16>(EditPort->value());
    s.tls = BoxTls->isChecked();
    s.caFile = EditCa->text().trimmed();
    s.user = EditUzytkownik->text();
    s.password = EditHaslo->text();
    s.site = EditMiejsce->text().trimmed();
    s.bus = EditMagistrala->text().trimmed();
    s.discovery = BoxWykrywanie->isChecked();
    const QString why = bridge_->apply(s);
    showState();
    if (!why.isEmpty())
        LabelStan->setText(why);
}

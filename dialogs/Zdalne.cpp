#include "dialogs/Zdalne.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

#include "widgets/AccessibleNames.h"
#include "widgets/Seams.h"
#include "dialogs/DialogHosts.h"
#include "dialogs/QrImage.h"
#include "dialogs/ZdalneMqtt.h"
#include "remote/RemoteService.h"

namespace {

QPushButton* button(QWidget* parent, const char* name, const QString& text)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

// The address as a person reads it: host and port, without the token.
QString shownAddress(const QString& url)
{
    const QUrl u(url);
    return u.host().contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(u.host()).arg(u.port())
                                                : QStringLiteral("%1:%2").arg(u.host()).arg(u.port());
}

} // namespace

TFZdalne::TFZdalne(WindowHost* owner, RemoteService* service, MqttBridge* mqtt)
    : QDialog(owner->hostWindow(), Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      owner_(owner), service_(service)
{
    setObjectName(QStringLiteral("FZdalne"));
    setWindowTitle(QStringLiteral("Zdalne sterowanie"));

    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);

    auto* intro = new QLabel(
        QStringLiteral("Strony dla telefonu, tabletu lub dużego ekranu w tej samej sieci, oraz API dla innych "
                       "programów."),
        this);
    intro->setObjectName(QStringLiteral("LabelOpis"));
    intro->setWordWrap(true);
    column->addWidget(intro);

    auto* form = new QFormLayout;
    BoxWlacz = new QCheckBox(QStringLiteral("Serwer włączony"), this);
    BoxWlacz->setObjectName(QStringLiteral("BoxWlacz"));
    form->addRow(BoxWlacz);
    auto* portRow = new QHBoxLayout;
    EditPort = new QSpinBox(this);
    EditPort->setObjectName(QStringLiteral("EditPort"));
    EditPort->setRange(1024, 65535);
    nameField(EditPort, QStringLiteral("Serwer"), QStringLiteral("port TCP"));
    ButtonZastosuj = button(this, "ButtonZastosuj", QStringLiteral("Zastosuj"));
    portRow->addWidget(EditPort);
    portRow->addWidget(ButtonZastosuj);
    portRow->addStretch(1);
    form->addRow(QStringLiteral("Port TCP:"), portRow);
    LabelStan = new QLabel(this);
    LabelStan->setObjectName(QStringLiteral("LabelStan"));
    LabelStan->setWordWrap(true);
    form->addRow(QStringLiteral("Stan:"), LabelStan);
    column->addLayout(form);

    ComboAdresy = new QComboBox(this);
    ComboAdresy->setObjectName(QStringLiteral("ComboAdresy"));
    ComboAdresy->setAccessibleDescription(QStringLiteral("Adres komputera"));
    column->addWidget(ComboAdresy);
    // One tab per page, each with its address, QR code and key.
    Strony = new QTabWidget(this);
    Strony->setObjectName(QStringLiteral("Strony"));
    Strony->setAccessibleName(QStringLiteral("Strony"));
    const auto pageTab = [this](const QString& title, const QString& about, QLabel*& qr, QLineEdit*& edit,
                                QPushButton*& copy, QPushButton*& renew, const char* suffix, const QString& what) {
        auto* tab = new QWidget(Strony);
        auto* box = new QVBoxLayout(tab);
        auto* text = new QLabel(about, tab);
        text->setWordWrap(true);
        box->addWidget(text);
        qr = new QLabel(tab);
        qr->setObjectName(QStringLiteral("LabelQR") + QLatin1String(suffix));
        qr->setAlignment(Qt::AlignCenter);
        qr->setMinimumSize(220, 220);
        nameField(qr, what, QStringLiteral("kod QR adresu"));
        auto* codes = new QHBoxLayout;   // the view tab sets the overlay's code beside it
        codes->addWidget(qr, 1);
        box->addLayout(codes, 1);
        auto* urlRow = new QHBoxLayout;
        edit = new QLineEdit(tab);
        edit->setObjectName(QStringLiteral("EditAdres") + QLatin1String(suffix));
        edit->setReadOnly(true);
        nameField(edit, what, QStringLiteral("adres z kluczem"));
        copy = button(tab, (QByteArrayLiteral("ButtonKopiuj") + suffix).constData(), QStringLiteral("Kopiuj adres"));
        nameAfterCaption(copy, what);
        urlRow->addWidget(edit, 1);
        urlRow->addWidget(copy);
        box->addLayout(urlRow);
        auto* keyRow = new QHBoxLayout;
        renew = button(tab, (QByteArrayLiteral("ButtonNowyKlucz") + suffix).constData(), QStringLiteral("Nowy klucz"));
        nameAfterCaption(renew, what);
        keyRow->addWidget(renew);
        keyRow->addStretch(1);
        box->addLayout(keyRow);
        Strony->addTab(tab, title);
        return std::pair{box, codes};
    };
    pageTab(QStringLiteral("Sterowanie"),
            QStringLiteral("Strona do sterowania stoperem. Każdy, kto zna adres z kluczem, może sterować."), LabelQR,
            EditAdres, ButtonKopiuj, ButtonNowyKlucz, "", QStringLiteral("Strona sterowania"));
    const auto [viewBox, viewCodes] = pageTab(
        QStringLiteral("Podgląd"),
        QStringLiteral("Strona z czasami zegarów na duży ekran lub telefon, i nakładka z czasem jednego zegara na "
                       "transmisję. Klucz podglądu pozwala tylko oglądać."),
        LabelQRPodgladu, EditAdresPodgladu, ButtonKopiujPodglad, ButtonNowyKluczPodgladu, "Podgladu",
        QStringLiteral("Strona podglądu"));
    ButtonKopiujPodglad->setObjectName(QStringLiteral("ButtonKopiujPodglad"));
    // The overlay for a broadcast program's browser source: its own link and code, same key.
    LabelQRNakladki = new QLabel(LabelQRPodgladu->parentWidget());
    LabelQRNakladki->setObjectName(QStringLiteral("LabelQRNakladki"));
    LabelQRNakladki->setAlignment(Qt::AlignCenter);
    LabelQRNakladki->setMinimumSize(180, 180);
    nameField(LabelQRNakladki, QStringLiteral("Nakładka"), QStringLiteral("kod QR adresu"));
    viewCodes->addWidget(LabelQRNakladki, 1);
    auto* captions = new QHBoxLayout;   // which code is which
    for (const QString& caption : {QStringLiteral("Strona podglądu"), QStringLiteral("Nakładka")}) {
        auto* label = new QLabel(caption, LabelQRNakladki->parentWidget());
        label->setAlignment(Qt::AlignCenter);
        captions->addWidget(label, 1);
    }
    viewBox->insertLayout(viewBox->indexOf(viewCodes) + 1, captions);
    auto* overlayRow = new QHBoxLayout;
    ComboZegarNakladki = new QComboBox(LabelQRNakladki->parentWidget());
    ComboZegarNakladki->setObjectName(QStringLiteral("ComboZegarNakladki"));
    for (int n = 1; n <= 4; ++n)
        ComboZegarNakladki->addItem(QStringLiteral("Zegar %1").arg(n));
    nameField(ComboZegarNakladki, QStringLiteral("Nakładka"), QStringLiteral("zegar"));
    EditAdresNakladki = new QLineEdit(LabelQRNakladki->parentWidget());
    EditAdresNakladki->setObjectName(QStringLiteral("EditAdresNakladki"));
    EditAdresNakladki->setReadOnly(true);
    nameField(EditAdresNakladki, QStringLiteral("Nakładka"), QStringLiteral("adres z kluczem"));
    ButtonKopiujNakladke = button(LabelQRNakladki->parentWidget(), "ButtonKopiujNakladke",
                                  QStringLiteral("Kopiuj adres nakładki"));
    overlayRow->addWidget(ComboZegarNakladki);
    overlayRow->addWidget(EditAdresNakladki, 1);
    overlayRow->addWidget(ButtonKopiujNakladke);
    viewBox->insertLayout(viewBox->count() - 1, overlayRow);
    if (mqtt) {
        // The view page with the site's other buses on the broker after this one's clocks.
        BoxKampus = new QCheckBox(QStringLiteral("Z zegarami innych magistral tego miejsca (MQTT)"),
                                  LabelQRNakladki->parentWidget());
        BoxKampus->setObjectName(QStringLiteral("BoxKampus"));
        viewBox->insertWidget(1, BoxKampus);
    }
    ButtonNowyKlucz->setToolTip(QStringLiteral("Tworzy nowy klucz dostępu; dotychczasowe adresy i kody przestają działać"));
    ButtonNowyKluczPodgladu->setToolTip(
        QStringLiteral("Tworzy nowy klucz podglądu; dotychczasowe adresy i kody podglądu przestają działać"));
    if (mqtt) {
        ZakladkaMqtt = new TMqttTab(owner, mqtt, Strony);
        Strony->addTab(ZakladkaMqtt, QStringLiteral("MQTT"));
    }
    column->addWidget(Strony, 1);

    auto* bottom = new QHBoxLayout;
    ButtonZamknij = button(this, "ButtonZamknij", QStringLiteral("Zamknij"));
    bottom->addStretch(1);
    bottom->addWidget(ButtonZamknij);
    column->addLayout(bottom);

    const auto guarded = [this](void (TFZdalne::*method)()) {
        return [this, method] { owner_->guard([this, method] { (this->*method)(); }); };
    };
    connect(ButtonZastosuj, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonZastosujClick));
    connect(ButtonNowyKlucz, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonNowyKluczClick));
    connect(ButtonKopiuj, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonKopiujClick));
    connect(ButtonNowyKluczPodgladu, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonNowyKluczPodgladuClick));
    connect(ButtonKopiujPodglad, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonKopiujPodgladClick));
    connect(ButtonKopiujNakladke, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonKopiujNakladkeClick));
    connect(ComboAdresy, &QComboBox::currentIndexChanged, this, guarded(&TFZdalne::ComboAdresyChange));
    connect(ComboZegarNakladki, &QComboBox::currentIndexChanged, this, guarded(&TFZdalne::ComboAdresyChange));
    if (BoxKampus)
        connect(BoxKampus, &QCheckBox::toggled, this, guarded(&TFZdalne::ComboAdresyChange));
    connect(ButtonZamknij, &QPushButton::clicked, this, &QDialog::accept);

    BoxWlacz->setChecked(service_->settings().enabled);
    EditPort->setValue(service_->settings().port);
    showState();
    resize(520, 640);
}

TFZdalne::~TFZdalne() = default;

void TFZdalne::showState()
{
    if (service_->running()) {
        LabelStan->setText(QStringLiteral("Serwer działa na porcie %1.").arg(service_->port()));
        LabelStan->setStyleSheet(QString());
    } else if (!service_->lastError().isEmpty()) {
        LabelStan->setText(service_->lastError());
        LabelStan->setStyleSheet(QStringLiteral("color: #C00000;"));
    } else {
        LabelStan->setText(QStringLiteral("Serwer wyłączony."));
        LabelStan->setStyleSheet(QString());
    }
    const QString current = ComboAdresy->currentData().toStringList().value(0);
    const QStringList urls = service_->pageUrls();
    const QStringList views = service_->viewUrls();
    {
        const QSignalBlocker quiet(ComboAdresy);
        ComboAdresy->clear();
        for (qsizetype i = 0; i < urls.size(); ++i)
            ComboAdresy->addItem(shownAddress(urls[i]), QStringList{urls[i], views.value(i)});
        // The same network address stays chosen when the token or port changes.
        int keep = 0;
        for (int i = 0; i < ComboAdresy->count(); ++i)
            if (!current.isEmpty() && QUrl(ComboAdresy->itemData(i).toStringList().value(0)).host() == QUrl(current).host())
                keep = i;
        ComboAdresy->setCurrentIndex(keep);
    }
    ComboAdresyChange();
}

void TFZdalne::ComboAdresyChange()
{
    const QStringList both = ComboAdresy->currentData().toStringList();
    const bool on = service_->running();
    ComboAdresy->setEnabled(on);
    const auto show = [on](const QString& url, QLineEdit* edit, QPushButton* copy, QLabel* qr) {
        edit->setText(url);
        edit->setCursorPosition(0);   // the address, not the end of the key
        edit->setEnabled(on);
        copy->setEnabled(on && !url.isEmpty());
        if (!on || url.isEmpty()) {
            qr->setPixmap(QPixmap());
            qr->setText(on ? QString() : QStringLiteral("Włącz serwer, aby zobaczyć kod QR."));
            return;
        }
        qr->setText(QString());
        qr->setPixmap(QPixmap::fromImage(qrImage(url, 4)));
    };
    show(both.value(0), EditAdres, ButtonKopiuj, LabelQR);
    // The view page's and the overlay's addresses are made from the view link's own address
    // and key, with their settings.
    const QUrl view(both.value(1));
    const QHostAddress host(view.host());
    const QByteArray key = QUrlQuery(view).queryItemValue(QStringLiteral("key")).toLatin1();
    const bool known = !view.isEmpty() && !host.isNull();
    show(known ? RemoteService::viewUrl(host, static_cast<quint16>(view.port()), key, BoxKampus && BoxKampus->isChecked())
               : QString(),
         EditAdresPodgladu, ButtonKopiujPodglad, LabelQRPodgladu);
    show(known ? RemoteService::overlayUrl(host, static_cast<quint16>(view.port()), key, ComboZegarNakladki->currentIndex() + 1)
               : QString(),
         EditAdresNakladki, ButtonKopiujNakladke, LabelQRNakladki);
}

void TFZdalne::ButtonZastosujClick()
{
    RemoteSettings s = service_->settings();
    s.enabled = BoxWlacz->isChecked();
    s.port = static_cast<quint16>(EditPort->value());
    service_->apply(s);
    showState();
}

void TFZdalne::ButtonNowyKluczClick()
{
    service_->renewToken();
    showState();
    ShowMessage(MsgKind::Information,
                QStringLiteral("Utworzono nowy klucz dostępu. Dotychczasowe adresy i kody QR przestały działać."));
}

void TFZdalne::ButtonKopiujClick()
{
    QApplication::clipboard()->setText(EditAdres->text());
}

void TFZdalne::ButtonNowyKluczPodgladuClick()
{
    service_->renewViewerKey();
    showState();
    ShowMessage(MsgKind::Information,
                QStringLiteral("Utworzono nowy klucz podglądu. Dotychczasowe adresy i kody QR podglądu przestały działać."));
}

void TFZdalne::ButtonKopiujPodgladClick()
{
    QApplication::clipboard()->setText(EditAdresPodgladu->text());
}

void TFZdalne::ButtonKopiujNakladkeClick()
{
    QApplication::clipboard()->setText(EditAdresNakladki->text());
}

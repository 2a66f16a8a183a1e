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
#include <QUrl>
#include <QVBoxLayout>

#include "app/Seams.h"
#include "dialogs/DialogHosts.h"
#include "dialogs/QrImage.h"
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

TFZdalne::TFZdalne(WindowHost* owner, RemoteService* service)
    : QDialog(owner->hostWindow(), Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      owner_(owner), service_(service)
{
    setObjectName(QStringLiteral("FZdalne"));
    setWindowTitle(QStringLiteral("Zdalne sterowanie"));

    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);

    auto* intro = new QLabel(
        QStringLiteral("Strona dla telefonu lub tabletu w tej samej sieci, oraz API dla innych programów. "
                       "Każdy, kto zna adres z kluczem, może sterować stoperem."),
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
    EditPort->setAccessibleName(QStringLiteral("Port TCP"));
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
    ComboAdresy->setAccessibleName(QStringLiteral("Adres komputera"));
    column->addWidget(ComboAdresy);
    LabelQR = new QLabel(this);
    LabelQR->setObjectName(QStringLiteral("LabelQR"));
    LabelQR->setAlignment(Qt::AlignCenter);
    LabelQR->setMinimumSize(240, 240);
    LabelQR->setAccessibleName(QStringLiteral("Kod QR adresu strony"));
    column->addWidget(LabelQR, 1);
    auto* urlRow = new QHBoxLayout;
    EditAdres = new QLineEdit(this);
    EditAdres->setObjectName(QStringLiteral("EditAdres"));
    EditAdres->setReadOnly(true);
    EditAdres->setAccessibleName(QStringLiteral("Adres strony z kluczem"));
    ButtonKopiuj = button(this, "ButtonKopiuj", QStringLiteral("Kopiuj adres"));
    urlRow->addWidget(EditAdres, 1);
    urlRow->addWidget(ButtonKopiuj);
    column->addLayout(urlRow);

    auto* bottom = new QHBoxLayout;
    ButtonNowyKlucz = button(this, "ButtonNowyKlucz", QStringLiteral("Nowy klucz"));
    ButtonNowyKlucz->setToolTip(QStringLiteral("Tworzy nowy klucz dostępu; dotychczasowe adresy i kody przestają działać"));
    ButtonZamknij = button(this, "ButtonZamknij", QStringLiteral("Zamknij"));
    bottom->addWidget(ButtonNowyKlucz);
    bottom->addStretch(1);
    bottom->addWidget(ButtonZamknij);
    column->addLayout(bottom);

    const auto guarded = [this](void (TFZdalne::*method)()) {
        return [this, method] { owner_->guard([this, method] { (this->*method)(); }); };
    };
    connect(ButtonZastosuj, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonZastosujClick));
    connect(ButtonNowyKlucz, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonNowyKluczClick));
    connect(ButtonKopiuj, &QPushButton::clicked, this, guarded(&TFZdalne::ButtonKopiujClick));
    connect(ComboAdresy, &QComboBox::currentIndexChanged, this, guarded(&TFZdalne::ComboAdresyChange));
    connect(ButtonZamknij, &QPushButton::clicked, this, &QDialog::accept);

    BoxWlacz->setChecked(service_->settings().enabled);
    EditPort->setValue(service_->settings().port);
    showState();
    resize(440, 560);
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
    const QString current = ComboAdresy->currentData().toString();
    const QStringList urls = service_->pageUrls();
    {
        const QSignalBlocker quiet(ComboAdresy);
        ComboAdresy->clear();
        for (const QString& url : urls)
            ComboAdresy->addItem(shownAddress(url), url);
        // The same network address stays chosen when the token or port changes.
        int keep = 0;
        for (int i = 0; i < ComboAdresy->count(); ++i)
            if (!current.isEmpty() && QUrl(ComboAdresy->itemData(i).toString()).host() == QUrl(current).host())
                keep = i;
        ComboAdresy->setCurrentIndex(keep);
    }
    ComboAdresyChange();
}

void TFZdalne::ComboAdresyChange()
{
    const QString url = ComboAdresy->currentData().toString();
    const bool on = service_->running();
    EditAdres->setText(url);
    EditAdres->setCursorPosition(0);   // the address, not the end of the token
    EditAdres->setEnabled(on);
    ButtonKopiuj->setEnabled(on && !url.isEmpty());
    ComboAdresy->setEnabled(on);
    if (!on || url.isEmpty()) {
        LabelQR->setPixmap(QPixmap());
        LabelQR->setText(on ? QString() : QStringLiteral("Włącz serwer, aby zobaczyć kod QR."));
        return;
    }
    const QImage qr = qrImage(url, 4);
    LabelQR->setText(QString());
    LabelQR->setPixmap(QPixmap::fromImage(qr));
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

#include "dialogs/JakieCOMy.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "dialogs/PortySieciowe.h"

namespace {

QPlainTextEdit* memo(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(true);
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);  // line k must stay the port of line k
    edit->setGeometry(geometry);
    return edit;
}

} // namespace

TFormJakieCOM::TFormJakieCOM(TForm1* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
    , owner_(owner)
{
    setObjectName(QStringLiteral("FormJakieCOM"));
    setWindowTitle(QStringLiteral("Porty COM"));
    setModal(false);
    setFixedSize(281, 202);

    Label1 = new QLabel(QStringLiteral("Dostępne porty COM w systemie"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 6, 212, 18);
    PortyCom = memo(this, "PortyCom", QRect(8, 28, 81, 137));
    DevCom = memo(this, "DevCom", QRect(88, 28, 185, 137));
    Button1 = new QPushButton(QStringLiteral("Odświerz"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 171, 265, 25);
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &TFormJakieCOM::Button1Click);
    ButtonSiec = new QPushButton(QStringLiteral("Sieć…"), this);
    ButtonSiec->setObjectName(QStringLiteral("ButtonSiec"));
    ButtonSiec->setToolTip(QStringLiteral("Porty sieciowe: serwery portów szeregowych (TCP, RFC 2217)"));
    ButtonSiec->setGeometry(222, 4, 51, 21);
    ButtonSiec->setAutoDefault(false);
    connect(ButtonSiec, &QPushButton::clicked, this, [this] { owner_->guard([this] { ButtonSiecClick(); }); });
}

TFormJakieCOM::~TFormJakieCOM() = default;

void TFormJakieCOM::Fill()
{
    // Built as whole texts: appending line by line would let an empty first entry merge with
    // the next line and shift one memo against the other.
    const QStringList& names = owner_->PortNames;
    QStringList devices = owner_->PortDevices.mid(0, names.size());
    while (devices.size() < names.size())
        devices.append(QString());
    PortyCom->setPlainText(names.join(QLatin1Char('\n')));
    DevCom->setPlainText(devices.join(QLatin1Char('\n')));
}

void TFormJakieCOM::Button1Click()
{
    show();
    owner_->FillPortCombo();
    Fill();
}

void TFormJakieCOM::ButtonSiecClick()
{
    TFPortySieciowe dialog(this, networkPortsPath(), [this] { Button1Click(); });
    dialog.exec();
}

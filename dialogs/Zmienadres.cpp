#include "dialogs/Zmienadres.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "widgets/AccessibleNames.h"
#include "widgets/Seams.h"
#include "dialogs/DialogHosts.h"
#include "widgets/StayCentred.h"
#include "serial/ComPort.h"

namespace {

constexpr uint8_t CmdChangeAddress = 0x01;

QComboBox* addressList(QWidget* parent, const char* name, int selected)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(false);
    box->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4")});
    box->setCurrentIndex(selected);
    return box;
}

} // namespace

TFAdresy::TFAdresy(BusHost* owner)
    : QDialog(owner->hostWindow(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
    , owner_(owner)
{
    setObjectName(QStringLiteral("FAdresy"));
    setWindowTitle(QStringLiteral("FAdresy"));
    setFixedSize(144, 128);
    // The small dialog font the 144-pixel layout was drawn for (11 pixels).
    QFont small = font();
    small.setPixelSize(11);
    setFont(small);

    // Each heading left of its 41-pixel list, the present address above the new one, the
    // button across the bottom.
    Label1 = new QLabel(QStringLiteral("Aktualny adres"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 16, 86, 21);
    TerazAdres = addressList(this, "TerazAdres", 0);
    TerazAdres->setGeometry(96, 16, 41, 21);
    Label1->setBuddy(TerazAdres);

    Label2 = new QLabel(QStringLiteral("Nowy adres"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(8, 52, 86, 21);
    NowyAdres = addressList(this, "NowyAdres", 1);
    NowyAdres->setGeometry(96, 52, 41, 21);
    Label2->setBuddy(NowyAdres);

    Button1 = new QPushButton(QStringLiteral("Zmień adres"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 92, 129, 25);
    Button1->setAutoDefault(false);
    // What the handler raises goes to the window's handler here, not through Qt's frames.
    connect(Button1, &QPushButton::clicked, this, [this] { owner_->guard([this] { Button1Click(); }); });
    new StayCentred(this);
    nameByLabel(Label1, TerazAdres);
    nameByLabel(Label2, NowyAdres);

    FormCreate();
}

TFAdresy::~TFAdresy() = default;

void TFAdresy::FormCreate()
{
    // Only this dialog's frame may be on the bus from now on.
    owner_->PausePolling();
    paused_ = true;
}

void TFAdresy::FormClose()
{
    if (!paused_)
        return;
    paused_ = false;
    owner_->ResumePolling();
}

void TFAdresy::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TFAdresy::Button1Click()
{
    const int present = TerazAdres->currentIndex() + 1;
    const int fresh = NowyAdres->currentIndex() + 1;
    if (present < 1 || fresh < 1)
        return;  // the lists are pick-only; nothing chosen means nothing to send
    if (!owner_->portOpen()) {
        // The adapter was lost while the dialog was open.
        ShowMessage(MsgKind::Error, QStringLiteral("Port COM niedostępny: połączenie zostało przerwane, "
                                                   "adres nie został zmieniony."));
        return;
    }
    ByteString data;
    data += static_cast<char>(CmdChangeAddress);
    data += static_cast<char>(fresh);
    owner_->SendFrame(static_cast<uint8_t>(present), data);
    accept();
}

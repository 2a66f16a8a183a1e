#include "dialogs/JakieCOMy.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QtMath>
#include <algorithm>

#include "widgets/AccessibleNames.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "dialogs/DialogHosts.h"
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

// The width a memo needs to show its longest line whole, scroll bar included when the lines
// outnumber its height.
int neededWidth(const QPlainTextEdit* memo, const QStringList& lines)
{
    const QFontMetrics fm(memo->font());
    int widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, fm.horizontalAdvance(line));
    const int margins = 2 * (memo->frameWidth() + qCeil(memo->document()->documentMargin())) + 2;
    const int height = memo->height() - 2 * (memo->frameWidth() + qCeil(memo->document()->documentMargin()));
    const bool scrolls = lines.size() * fm.lineSpacing() > height;
    return widest + margins + (scrolls ? memo->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, memo) : 0);
}

// Linux port names are paths ("/dev/ttyUSB0" is already wider than the 81-pixel column): each
// column keeps its designed width and grows to its longest line, and the dialog with them, up to
// the screen's width; beyond that the memo scrolls.
void fitColumns(TFormJakieCOM& d, const QStringList& names, const QStringList& devices)
{
    constexpr int Margin = 8, DesignedNames = 81, DesignedDevices = 185, Height = 202;
    int namesWidth = std::max(DesignedNames, neededWidth(d.PortyCom, names));
    int devicesWidth = std::max(DesignedDevices, neededWidth(d.DevCom, devices));
    const QScreen* screen = d.screen();
    const int room = (screen ? screen->availableGeometry().width() : 1024) - 4 * Margin;
    if (namesWidth + devicesWidth > room) {
        namesWidth = std::max(DesignedNames, std::min(namesWidth, room / 3));
        devicesWidth = std::max(DesignedDevices, room - namesWidth);
    }
    const int width = Margin + namesWidth - 1 + devicesWidth + Margin;
    if (d.width() == width)
        return;
    const QPoint centre = d.geometry().center();
    d.PortyCom->setGeometry(Margin, 28, namesWidth, 137);
    d.DevCom->setGeometry(Margin + namesWidth - 1, 28, devicesWidth, 137);
    // The network-port button stays at the right end of the heading's row.
    const int button = d.ButtonSiec ? d.ButtonSiec->width() + 2 : 0;
    d.Label1->setGeometry(Margin, 6, width - 2 * Margin - button, 18);
    if (d.ButtonSiec)
        d.ButtonSiec->move(width - Margin - d.ButtonSiec->width(), 4);
    d.Button1->setGeometry(Margin, 171, width - 2 * Margin, 25);
    d.setFixedSize(width, Height);
    if (d.isVisible())
        d.move(centre - QPoint(width / 2, Height / 2));
}

} // namespace

TFormJakieCOM::TFormJakieCOM(PortListHost* owner)
    : QDialog(owner->hostWindow(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
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
    connect(Button1, &QPushButton::clicked, this, [this] { owner_->guard([this] { Button1Click(); }); });
    ButtonSiec = new QPushButton(QStringLiteral("Sieć…"), this);
    ButtonSiec->setObjectName(QStringLiteral("ButtonSiec"));
    ButtonSiec->setToolTip(QStringLiteral("Porty sieciowe: serwery portów szeregowych (TCP, RFC 2217)"));
    ButtonSiec->setGeometry(222, 4, 51, 21);
    ButtonSiec->setAutoDefault(false);
    connect(ButtonSiec, &QPushButton::clicked, this, [this] { owner_->guard([this] { ButtonSiecClick(); }); });
    const QString ports = QStringLiteral("Porty w systemie");
    nameField(PortyCom, ports, QStringLiteral("nazwy"));
    nameField(DevCom, ports, QStringLiteral("urządzenia"));
}

TFormJakieCOM::~TFormJakieCOM() = default;

void TFormJakieCOM::Fill()
{
    // Built as whole texts: appending line by line would let an empty first entry merge with
    // the next line and shift one memo against the other.
    const QStringList& names = owner_->portNames();
    QStringList devices = owner_->portDevices().mid(0, names.size());
    while (devices.size() < names.size())
        devices.append(QString());
    fitColumns(*this, names, devices);
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

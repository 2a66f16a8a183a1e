// The clock group: the stopwatch panel and the four clock panels, built once and indexed by
// clock number; the widgets carry the names the other parts of the program look them up by.
#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QValidator>
#include <QVBoxLayout>
#include <algorithm>

#include "app/KadrelMain.h"
#include "widgets/LinkGauge.h"
#include "widgets/Seams.h"
#include "files/SettingsFile.h"
#include "base/Exceptions.h"

namespace {

// Accepts only text the settings file can store: characters that Windows-1250 holds.
// A clock name takes only characters that Windows-1250 holds.
class Cp1250Validator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        try {
            return SettingsFile::fitsCp1250(input.toStdString()) ? Acceptable : Invalid;
        } catch (const Exception&) {
            return Acceptable;   // no converter: the settings file replaces what it cannot hold
        }
    }
};

QString timeFontFamily()
{
    static const QString family = QFontDatabase::families().contains(QStringLiteral("Carlito"))
                                      ? QStringLiteral("Carlito")
                                      : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    return family;
}

QFont scaled(const QFont& base, int pointSize, bool bold)
{
    QFont f = base;
    f.setPointSize(pointSize);
    f.setBold(bold);
    return f;
}

QLabel* label(const QString& name, const QString& text, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

QPushButton* button(const QString& name, const QString& text, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

struct Preset {
    const char* name;
    const char* caption;
    const char* minutes;
};

constexpr Preset Presets[10] = {
    {"Button1", "2 m", "02"},   {"Button7", "3 m", "03"},   {"Button8", "4 m", "04"},
    {"Button9", "6 m", "06"},   {"Button10", "8 m", "08"},  {"Button12", "10 m", "10"},
    {"Button13", "15 m", "15"}, {"Button16", "20 m", "20"}, {"Button14", "30 m", "30"},
    {"Button15", "60 m", "60"},
};

const char* const NumberLabels[5] = {nullptr, "Label2", "Label3", "Label5", "Label7"};
const char* const DisplayOffBoxes[5] = {nullptr, "W1box", "W2Box", "W3Box", "W4Box"};

} // namespace

// ---- construction ----------------------------------------------------------------------------

void TForm1::buildClockGroup()
{
    GroupZegary = new QGroupBox(centralWidget());
    GroupZegary->setObjectName(QStringLiteral("GroupZegary"));
    SetBackColor(GroupZegary, NamedColor::clMoneyGreen);
    auto* grid = new QGridLayout(GroupZegary);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setSpacing(8);
    grid->addWidget(buildStopwatchPanel(), 0, 0, 1, 2);
    for (int clock = 1; clock <= 4; ++clock)
        grid->addWidget(buildClockPanel(clock), 1 + (clock - 1) / 2, (clock - 1) % 2, Qt::AlignTop);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
}

QFrame* TForm1::buildStopwatchPanel()
{
    Panel1 = new QFrame(GroupZegary);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Raised);
    SetBackColor(Panel1, NamedColor::clBtnFace());
    Panel1->installEventFilter(this);

    auto* outer = new QVBoxLayout(Panel1);
    outer->setContentsMargins(10, 8, 10, 10);
    outer->setSpacing(6);

    Label6 = label(QStringLiteral("Label6"), QStringLiteral("Sterowanie stoper"), Panel1);
    Label6->setFont(scaled(font(), font().pointSize() + 1, true));
    outer->addWidget(Label6);

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    outer->addLayout(row);

    // Command buttons, two by two.
    auto* commands = new QGridLayout;
    commands->setSpacing(6);
    Button3 = button(QStringLiteral("Button3"), QStringLiteral("START"), Panel1);
    Button4 = button(QStringLiteral("Button4"), QStringLiteral("STOP"), Panel1);
    Button5 = button(QStringLiteral("Button5"), QStringLiteral("USTAW"), Panel1);
    Button11 = button(QStringLiteral("Button11"), QStringLiteral("ZERUJ"), Panel1);
    for (QPushButton* b : {Button3, Button4, Button5, Button11}) {
        b->setFont(scaled(font(), font().pointSize(), true));
        b->setMinimumWidth(84);
    }
    commands->addWidget(Button3, 0, 0);
    commands->addWidget(Button4, 0, 1);
    commands->addWidget(Button5, 1, 0);
    commands->addWidget(Button11, 1, 1);
    row->addLayout(commands);
    row->addStretch(1);

    // Minutes and seconds of the set command.
    auto* time = new QGridLayout;
    time->setHorizontalSpacing(4);
    time->setVerticalSpacing(2);
    Label1 = label(QStringLiteral("Label1"), QStringLiteral("Min."), Panel1);
    Label4 = label(QStringLiteral("Label4"), QStringLiteral("Sek."), Panel1);
    Label9 = label(QStringLiteral("Label9"), QStringLiteral(":"), Panel1);
    Label9->setFont(scaled(font(), 24, true));
    Label9->setAlignment(Qt::AlignCenter);
    const QFont fieldFont = scaled(font(), 22, true);
    auto makeField = [&](const QString& name) {
        auto* e = new QLineEdit(QStringLiteral("00"), Panel1);
        e->setObjectName(name);
        e->setMaxLength(2);
        e->setFont(fieldFont);
        e->setAlignment(Qt::AlignCenter);
        SetBackColor(e, NamedColor::clSilver);
        e->setFixedWidth(QFontMetrics(fieldFont).horizontalAdvance(QStringLiteral("000")) + 8);
        e->installEventFilter(this);
        return e;
    };
    Medit = makeField(QStringLiteral("Medit"));
    Sedit = makeField(QStringLiteral("Sedit"));
    time->addWidget(Label1, 0, 0, Qt::AlignHCenter);
    time->addWidget(Label4, 0, 2, Qt::AlignHCenter);
    time->addWidget(Medit, 1, 0);
    time->addWidget(Label9, 1, 1);
    time->addWidget(Sedit, 1, 2);
    row->addLayout(time);
    row->addStretch(1);

    // Target of the commands: all clocks or one.
    auto* targets = new QGroupBox(Panel1);
    targets->setObjectName(QStringLiteral("TargetBox"));
    auto* targetRow = new QHBoxLayout(targets);
    targetRow->setContentsMargins(8, 4, 8, 4);
    auto* group = new QButtonGroup(targets);
    Z1_4 = new QRadioButton(QStringLiteral("W"), targets);
    Z1_4->setObjectName(QStringLiteral("Z1_4"));
    Z1_4->setToolTip(QStringLiteral("Steruj wszystkimi zegarami"));
    Z1_4->setChecked(true);
    group->addButton(Z1_4);
    targetRow->addWidget(Z1_4);
    for (int clock = 1; clock <= 4; ++clock) {
        auto* r = new QRadioButton(QString::number(clock), targets);
        r->setObjectName(QStringLiteral("Z%1b").arg(clock));
        group->addButton(r);
        targetRow->addWidget(r);
        TargetButtons[clock] = r;
    }
    row->addWidget(targets, 0, Qt::AlignVCenter);

    // Preset times: each fills the fields and queues the set command.
    auto* presets = new QHBoxLayout;
    presets->setSpacing(4);
    for (size_t i = 0; i < std::size(Presets); ++i) {
        const Preset& p = Presets[i];
        QPushButton* b = button(QString::fromLatin1(p.name), QString::fromUtf8(p.caption), Panel1);
        b->setMinimumWidth(48);
        const QString minutes = QString::fromLatin1(p.minutes);
        connect(b, &QPushButton::clicked, this, [this, minutes] { guard([&] { PresetClick(minutes); }); });
        PresetButtons[i] = b;
        presets->addWidget(b);
    }
    outer->addLayout(presets);

    connect(Button3, &QPushButton::clicked, this, handler(&TForm1::Button3Click));
    connect(Button4, &QPushButton::clicked, this, handler(&TForm1::Button4Click));
    connect(Button5, &QPushButton::clicked, this, handler(&TForm1::Button5Click));
    connect(Button11, &QPushButton::clicked, this, handler(&TForm1::Button11Click));
    return Panel1;
}

QFrame* TForm1::buildClockPanel(int n)
{
    ClockPanel& c = Clocks[n];
    const QString d = QString::number(n);
    c.panel = new QFrame(GroupZegary);
    c.panel->setObjectName(QStringLiteral("Panel%1").arg(n + 1));
    c.panel->setFrameShape(QFrame::StyledPanel);
    c.panel->setFrameShadow(QFrame::Raised);
    SetBackColor(c.panel, NamedColor::clBtnFace());

    c.number = label(QString::fromLatin1(NumberLabels[n]), QStringLiteral("Nr ") + d, c.panel);
    c.number->setFont(scaled(font(), font().pointSize() + 1, true));

    c.name = new QLineEdit(QStringLiteral("Zegar ") + d, c.panel);
    c.name->setObjectName(QStringLiteral("Z%1name").arg(n));
    c.name->setMaxLength(ClockNameTypedLength);
    c.name->setValidator(new Cp1250Validator(c.name));
    // The limit is on typing: a longer stored name keeps its room until it is shortened.
    connect(c.name, &QLineEdit::textChanged, c.name, [field = c.name](const QString& text) {
        field->setMaxLength(std::max<int>(ClockNameTypedLength, static_cast<int>(text.size())));
    });
    c.name->setFixedWidth(c.name->fontMetrics().horizontalAdvance(QStringLiteral("WWWWWWW")) + 12);
    SetBackColor(c.name, NamedColor::clBtnFace());

    c.boxActiv = new QCheckBox(QStringLiteral("Aktywny"), c.panel);
    c.boxActiv->setObjectName(QStringLiteral("Z%1boxActiv").arg(n));
    c.boxActiv->setChecked(true);

    c.czas = new QLineEdit(c.panel);
    c.czas->setObjectName(QStringLiteral("Z%1czas").arg(n));
    c.czas->setReadOnly(true);
    c.czas->setFocusPolicy(Qt::ClickFocus);   // no tab stop
    c.czas->setAlignment(Qt::AlignCenter);
    QFont timeFont(timeFontFamily());
    timeFont.setPointSize(36);
    timeFont.setBold(true);
    c.czas->setFont(timeFont);
    c.czas->setMinimumWidth(QFontMetrics(timeFont).horizontalAdvance(QStringLiteral("-88:88")) + 24);
    SetFontColor(c.czas, NamedColor::clBlue);
    SetBackColor(c.czas, NamedColor::clBtnFace());
    c.czas->installEventFilter(this);

    c.bar = new LinkGauge(c.panel);
    c.bar->setObjectName(QStringLiteral("Z%1bar").arg(n));
    c.bar->SetProgress(0);

    c.labelD = label(QStringLiteral("LabelD%1").arg(n), n == 1 ? QStringLiteral("Dól") : QStringLiteral("Dół"), c.panel);
    c.boxDol = new QCheckBox(QStringLiteral("D"), c.panel);
    c.boxDol->setObjectName(QStringLiteral("Z%1boxDol").arg(n));
    c.boxDol->setToolTip(QStringLiteral("Odliczaj w dół"));
    c.boxDol->setChecked(true);

    c.labelW = label(QStringLiteral("L%1").arg(n), QStringLiteral("Wył"), c.panel);
    c.wbox = new QCheckBox(c.panel);
    c.wbox->setObjectName(QString::fromLatin1(DisplayOffBoxes[n]));
    c.wbox->setToolTip(QStringLiteral("Wyłącz wyświetlacz"));

    c.jasnosc = new QSlider(Qt::Vertical, c.panel);
    c.jasnosc->setObjectName(QStringLiteral("Z%1jasnosc").arg(n));
    c.jasnosc->setRange(0, 3);
    c.jasnosc->setSingleStep(1);
    c.jasnosc->setPageStep(1);
    c.jasnosc->setTickInterval(1);
    c.jasnosc->setTickPosition(QSlider::TicksBothSides);
    c.jasnosc->setToolTip(QStringLiteral("Jasność"));
    c.jasnosc->setValue(3);

    c.labelUzas = label(QStringLiteral("LabelUzas%1").arg(n), QStringLiteral("U zas :"), c.panel);
    c.uzas = label(QStringLiteral("Z%1Uzas").arg(n), QStringLiteral("0,0 V"), c.panel);
    c.uzas->setFont(scaled(font(), font().pointSize() + 1, true));
    c.uzas->setMinimumWidth(c.uzas->fontMetrics().horizontalAdvance(QStringLiteral("88,88 V")) + 4);

    c.btnZ = button(QStringLiteral("BtnZ%1").arg(n), QStringLiteral("RTC"), c.panel);
    c.btnZ->setToolTip(QStringLiteral("Zegar czasu rzeczywistego"));
    c.btnS = button(QStringLiteral("BtnS%1").arg(n), QStringLiteral("Stoper"), c.panel);
    c.btnS->setToolTip(QStringLiteral("Stoper"));
    for (QPushButton* b : {c.btnZ, c.btnS})
        b->setFont(scaled(font(), font().pointSize(), true));
    SetFontColor(c.btnZ, NamedColor::clRed);
    SetFontColor(c.btnS, NamedColor::clSilver);

    // Heading: number, name, "Aktywny"; then the time with the brightness beside it, the gauge,
    // the option boxes with the voltage, and the two mode buttons.
    auto* grid = new QGridLayout(c.panel);
    grid->setContentsMargins(10, 8, 10, 10);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);

    auto* heading = new QHBoxLayout;
    heading->setSpacing(10);
    heading->addWidget(c.number);
    heading->addWidget(c.name);
    heading->addStretch(1);
    heading->addWidget(c.boxActiv);
    grid->addLayout(heading, 0, 0, 1, 2);

    grid->addWidget(c.czas, 1, 0);
    grid->addWidget(c.jasnosc, 1, 1, 3, 1, Qt::AlignHCenter);
    grid->addWidget(c.bar, 2, 0);

    auto* options = new QHBoxLayout;
    options->setSpacing(6);
    options->addWidget(c.labelD);
    options->addWidget(c.boxDol);
    options->addSpacing(10);
    options->addWidget(c.labelW);
    options->addWidget(c.wbox);
    options->addStretch(1);
    options->addWidget(c.labelUzas);
    options->addWidget(c.uzas);
    grid->addLayout(options, 3, 0);

    auto* modes = new QHBoxLayout;
    modes->setSpacing(6);
    modes->addWidget(c.btnZ);
    modes->addWidget(c.btnS);
    grid->addLayout(modes, 4, 0, 1, 2);
    grid->setColumnStretch(0, 1);

    // Every change counts, not only a click: a keyboard or screen reader's toggle must not
    // leave a cleared clock's controls shown. A click toggles once, so it acts once.
    connect(c.boxActiv, &QCheckBox::toggled, this, [this, n] { guard([&] { ZboxActivClick(n); }); });
    connect(c.wbox, &QCheckBox::toggled, this, [this, n] { guard([&] { WboxClick(n); }); });
    connect(c.btnZ, &QPushButton::clicked, this, [this, n] { guard([&] { BtnZClick(n); }); });
    connect(c.btnS, &QPushButton::clicked, this, [this, n] { guard([&] { BtnSClick(n); }); });
    return c.panel;
}

// ---- show and hide ---------------------------------------------------------------------------

void TForm1::SetClockName(int n, const QString& name)
{
    QLineEdit* field = Clocks[n].name;
    field->setMaxLength(std::max<int>(ClockNameTypedLength, static_cast<int>(name.size())));
    field->setText(name);
}

void TForm1::ShowClock(int n)
{
    ClockPanel& c = Clocks[n];
    c.boxDol->show();
    c.czas->show();
    c.labelUzas->show();
    c.uzas->show();
    c.bar->show();
    c.jasnosc->show();
    c.labelD->show();
    c.bar->SetProgress(0);
    c.wbox->show();
    c.labelW->show();
    c.btnZ->show();
    c.btnS->show();
}

void TForm1::HideClock(int n)
{
    ClockPanel& c = Clocks[n];
    for (QWidget* w : std::initializer_list<QWidget*>{c.boxDol, c.czas, c.labelUzas, c.uzas, c.bar, c.jasnosc,
                                                      c.labelD, c.wbox, c.labelW, c.btnZ, c.btnS})
        w->hide();
}

// ---- clock panel handlers --------------------------------------------------------------------

void TForm1::ZboxActivClick(int n)
{
    if (Clocks[n].boxActiv->isChecked())
        ShowClock(n);
    else
        HideClock(n);
}

void TForm1::WboxClick(int n)
{
    SetFontColor(Clocks[n].czas, Clocks[n].wbox->isChecked() ? NamedColor::clGray : NamedColor::clBlue);
}

void TForm1::BtnZClick(int n)
{
    SetFontColor(Clocks[n].btnZ, NamedColor::clRed);
    SetFontColor(Clocks[n].btnS, NamedColor::clSilver);
    Link.RtcMode[n] = 1;
}

void TForm1::BtnSClick(int n)
{
    SetFontColor(Clocks[n].btnZ, NamedColor::clSilver);
    SetFontColor(Clocks[n].btnS, NamedColor::clRed);
    Link.RtcMode[n] = 0;
}

void TForm1::ZczasDblClick(int n)
{
    Link.ResetRequest[n] = 1;
}

// ---- stopwatch panel handlers ----------------------------------------------------------------

void TForm1::Button3Click()
{
    Link.PendingCommand = 1;
}

void TForm1::Button4Click()
{
    Link.PendingCommand = 2;
}

void TForm1::Button5Click()
{
    Link.PendingCommand = 3;
}

void TForm1::Button11Click()
{
    Medit->setText(QStringLiteral("00"));
    Sedit->setText(QStringLiteral("00"));
    Link.PendingCommand = 3;
}

void TForm1::PresetClick(const QString& minutes)
{
    Medit->setText(minutes);
    Sedit->setText(QStringLiteral("00"));
    Link.PendingCommand = 3;
}

static void padField(QLineEdit* field)
{
    if (field->text().isEmpty())
        field->setText(QStringLiteral("00"));
    if (field->text().size() == 1)
        field->setText(QStringLiteral("0") + field->text());
}

void TForm1::MeditExit()
{
    padField(Medit);
}

void TForm1::SeditExit()
{
    padField(Sedit);
    // A pasted non-number fails here with a conversion error, for the window's handler.
    if (StrToInt(Sedit->text().toStdString()) > 59)
        Sedit->setText(QStringLiteral("59"));
}

void TForm1::Panel1DblClick()
{
    Beep();
}

bool TForm1::KeyPasses(const QString& typed)
{
    if (typed.size() != 1)
        return false;
    const QChar c = typed.front();
    return c == QChar(13) || c == QChar(8) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

bool TForm1::panelEventFilter(QObject* watched, QEvent* event)
{
    if (watched == Medit || watched == Sedit) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            // Keys that type no character (arrows, Delete, Tab) are not the filter's business.
            const bool types = !key->text().isEmpty() && key->key() != Qt::Key_Tab &&
                               key->key() != Qt::Key_Backtab && key->key() != Qt::Key_Delete;
            return types && !KeyPasses(key->text());
        }
        if (event->type() == QEvent::FocusOut && leavesControl(event)) {
            // The field finishes its own focus handling first; then the normalisation, whose
            // conversion error goes to HandleException.
            watched->event(event);
            guard([&] {
                if (watched == Medit)
                    MeditExit();
                else
                    SeditExit();
            });
            return true;
        }
        return false;
    }
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == Panel1) {
            Panel1DblClick();
            return true;
        }
        for (int n = 1; n <= 4; ++n)
            if (watched == Clocks[n].czas)
                ZczasDblClick(n);
    }
    return false;
}

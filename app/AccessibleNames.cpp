#include "app/AccessibleNames.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include "app/KadrelMain.h"
#include "app/LinkGauge.h"
#include "serial/ComComboBox.h"

namespace {

const char* const NameProperty = "kadrelValueName";

// A label read as its name and its current text. The name is looked up at every reading, and
// QLabel announces its text changes, so the screen reader always hears the value shown.
class ValueLabel : public QAccessibleWidget {
public:
    explicit ValueLabel(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name)
            return QAccessibleWidget::text(t);
        const auto* label = static_cast<const QLabel*>(object());
        return label->property(NameProperty).toString() + QLatin1Char(' ') + label->text();
    }
};

// The link gauge reads as a progress bar with its percentage.
class GaugeAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit GaugeAccessible(LinkGauge* gauge) : QAccessibleWidget(gauge, QAccessible::ProgressBar) {}
    void* interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface*>(this)
                                                : QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? QStringLiteral("%1 %").arg(gauge()->Progress()) : QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return gauge()->Progress(); }
    void setCurrentValue(const QVariant&) override {}   // shows the link, takes no input
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    LinkGauge* gauge() const { return static_cast<LinkGauge*>(object()); }
};

QAccessibleInterface* ownInterfaces(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLabel") && object && object->property(NameProperty).isValid())
        return new ValueLabel(static_cast<QLabel*>(object));
    if (className == QLatin1String("LinkGauge"))
        return new GaugeAccessible(static_cast<LinkGauge*>(object));
    return nullptr;
}

void installInterfaces()
{
    static const bool installed = [] {
        QAccessible::installFactory(ownInterfaces);
        return true;
    }();
    (void)installed;
}

// A widget announces itself as it is built, which leaves a plain interface in Qt's cache; drop
// it, so the next reading comes through our factory.
template <class Own>
void dropPlainInterface(QWidget* widget)
{
    QAccessibleInterface* cached = QAccessible::queryAccessibleInterface(widget);
    if (cached && !dynamic_cast<Own*>(cached))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(cached));
}

void name(QWidget* window, const char* objectName, const QString& text)
{
    if (auto* w = window->findChild<QWidget*>(QString::fromLatin1(objectName)))
        w->setAccessibleName(text);
}

void nameMainWindow(TForm1& f)
{
    f.GroupBox1->setAccessibleName(QStringLiteral("Połączenie"));
    f.Button6->setAccessibleName(QStringLiteral("COM?: porty w systemie"));
    // A drop-down list reads as its entry; what it is for goes in the description.
    f.ComCombo->setAccessibleDescription(QStringLiteral("Port COM"));
    f.Edit_status->setAccessibleName(QStringLiteral("Stan połączenia"));
    f.Button_polacz->setAccessibleName(QStringLiteral("Połączenie: START"));
    f.Button2->setAccessibleName(QStringLiteral("Połączenie: STOP"));
    f.GroupZegary->setAccessibleName(QStringLiteral("Zegary"));

    f.Panel1->setAccessibleName(QStringLiteral("Sterowanie stoper"));
    const QString stopwatch = QStringLiteral("Stoper: ");
    for (QPushButton* b : {f.Button3, f.Button4, f.Button5, f.Button11})
        b->setAccessibleName(stopwatch + b->text());
    for (QPushButton* b : f.PresetButtons)
        b->setAccessibleName(stopwatch + b->text());
    f.Medit->setAccessibleName(stopwatch + QStringLiteral("minuty"));
    f.Sedit->setAccessibleName(stopwatch + QStringLiteral("sekundy"));
    name(&f, "TargetBox", QStringLiteral("Cel poleceń"));
    f.Z1_4->setAccessibleName(QStringLiteral("Cel: wszystkie zegary"));
    for (int n = 1; n <= 4; ++n)
        f.TargetButtons[n]->setAccessibleName(QStringLiteral("Cel: zegar %1").arg(n));

    // The time fields are named by the reply decoder, which knows the time and its age.
    for (int n = 1; n <= 4; ++n) {
        const ClockPanel& c = f.Clocks[n];
        const QString clock = QStringLiteral("Zegar %1").arg(n);
        const QString of = clock + QStringLiteral(": ");
        c.panel->setAccessibleName(clock);
        c.name->setAccessibleName(of + QStringLiteral("nazwa"));
        c.boxActiv->setAccessibleName(of + c.boxActiv->text());
        c.bar->setAccessibleName(of + QStringLiteral("jakość łącza"));
        dropPlainInterface<GaugeAccessible>(c.bar);
        c.boxDol->setAccessibleName(of + QStringLiteral("D, odliczaj w dół"));
        c.wbox->setAccessibleName(of + QStringLiteral("Wył, wyłącz wyświetlacz"));
        c.jasnosc->setAccessibleName(of + QStringLiteral("jasność"));
        nameWithValue(c.uzas, of + QStringLiteral("napięcie zasilania"));
        c.btnZ->setAccessibleName(of + c.btnZ->text());
        c.btnS->setAccessibleName(of + c.btnS->text());
    }
}

// Lists that a label names: the label reads as the list's name through its buddy.
void labelFor(QWidget* window, const char* label, const char* control)
{
    auto* l = window->findChild<QLabel*>(QString::fromLatin1(label));
    auto* w = window->findChild<QWidget*>(QString::fromLatin1(control));
    if (l && w) {
        l->setBuddy(w);
        w->setAccessibleDescription(l->text());
    }
}

} // namespace

void nameWithValue(QLabel* label, const QString& name)
{
    installInterfaces();
    label->setProperty(NameProperty, name);
    dropPlainInterface<ValueLabel>(label);
}

void nameControls(QWidget* window)
{
    installInterfaces();
    const QString which = window->objectName();
    if (auto* form = qobject_cast<TForm1*>(window)) {
        nameMainWindow(*form);
    } else if (which == QLatin1String("FUstawienia")) {
        for (int n = 1; n <= 4; ++n)
            name(window, qPrintable(QStringLiteral("Radio%1").arg(n)), QStringLiteral("Adres zegara: %1").arg(n));
        name(window, "LabelNazwaPliku", QStringLiteral("Plik firmware"));
        name(window, "Button1", QStringLiteral("Plik: wybierz plik firmware"));
        name(window, "ButtonStart", QStringLiteral("Start aktualizacji"));
        name(window, "BarBoot", QStringLiteral("Postęp aktualizacji"));
    } else if (which == QLatin1String("FAdresy")) {
        labelFor(window, "Label1", "TerazAdres");
        labelFor(window, "Label2", "NowyAdres");
    } else if (which == QLatin1String("FormJakieCOM")) {
        name(window, "PortyCom", QStringLiteral("Porty"));
        name(window, "DevCom", QStringLiteral("Urządzenia"));
    } else if (which == QLatin1String("FPomoc")) {
        name(window, "Image1", QStringLiteral("Zdjęcie zegara"));
    } else if (which == QLatin1String("FMonitor")) {
        name(window, "LogView", QStringLiteral("Ruch na magistrali"));
        name(window, "Liczniki", QStringLiteral("Liczniki"));
    }
}

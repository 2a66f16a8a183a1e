#include "widgets/AccessibleNames.h"

#include <QAccessible>
#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QLabel>

#include "widgets/LinkGauge.h"

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

} // namespace

void nameWithValue(QLabel* label, const QString& name)
{
    installInterfaces();
    label->setProperty(NameProperty, name);
    dropPlainInterface<ValueLabel>(label);
}

QString controlName(const QString& subject, const QString& what)
{
    // "&Plik" shows as "Plik"; "&&" shows as one "&".
    QString shown;
    for (qsizetype i = 0; i < what.size(); ++i) {
        if (what[i] == QLatin1Char('&') && ++i == what.size())
            break;
        shown += what[i];
    }
    return subject + QStringLiteral(": ") + shown;
}

void nameAfterCaption(QAbstractButton* button, const QString& subject)
{
    button->setAccessibleName(controlName(subject, button->text()));
}

void nameField(QWidget* control, const QString& subject, const QString& what)
{
    control->setAccessibleName(controlName(subject, what));
}

void nameGauge(LinkGauge* gauge, const QString& subject, const QString& what)
{
    installInterfaces();
    gauge->setAccessibleName(controlName(subject, what));
    dropPlainInterface<GaugeAccessible>(gauge);
}

void nameByLabel(QLabel* label, QWidget* control)
{
    label->setBuddy(control);
    control->setAccessibleDescription(label->text());
}

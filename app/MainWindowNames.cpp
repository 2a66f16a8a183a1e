// What a screen reader calls each control of the main window.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include "app/KadrelMain.h"
#include "widgets/AccessibleNames.h"
#include "widgets/ComComboBox.h"
#include "widgets/LinkGauge.h"

void TForm1::nameControls()
{
    GroupBox1->setAccessibleName(QStringLiteral("Połączenie"));
    Button6->setAccessibleName(QStringLiteral("COM?: porty w systemie"));
    // A drop-down list reads as its entry; what it is for goes in the description.
    ComCombo->setAccessibleDescription(QStringLiteral("Port COM"));
    Edit_status->setAccessibleName(QStringLiteral("Stan połączenia"));
    const QString connection = QStringLiteral("Połączenie");
    nameAfterCaption(Button_polacz, connection);
    nameAfterCaption(Button2, connection);
    GroupZegary->setAccessibleName(QStringLiteral("Zegary"));

    Panel1->setAccessibleName(QStringLiteral("Sterowanie stoper"));
    const QString stopwatch = QStringLiteral("Stoper");
    for (QPushButton* b : {Button3, Button4, Button5, Button11})
        nameAfterCaption(b, stopwatch);
    for (QPushButton* b : PresetButtons)
        nameAfterCaption(b, stopwatch);
    nameField(Medit, stopwatch, QStringLiteral("minuty"));
    nameField(Sedit, stopwatch, QStringLiteral("sekundy"));
    if (auto* target = findChild<QWidget*>(QStringLiteral("TargetBox")))
        target->setAccessibleName(QStringLiteral("Cel poleceń"));
    const QString target = QStringLiteral("Cel");
    nameField(Z1_4, target, QStringLiteral("W, wszystkie zegary"));
    for (int n = 1; n <= 4; ++n)
        nameField(TargetButtons[n], target, QStringLiteral("zegar %1").arg(n));

    // The time fields are named by the reply decoder, which knows the time and its age.
    for (int n = 1; n <= 4; ++n) {
        const ClockPanel& c = Clocks[n];
        const QString clock = QStringLiteral("Zegar %1").arg(n);
        c.panel->setAccessibleName(clock);
        nameField(c.name, clock, QStringLiteral("nazwa"));
        nameAfterCaption(c.boxActiv, clock);
        nameGauge(c.bar, clock, QStringLiteral("jakość łącza"));
        nameField(c.boxDol, clock, QStringLiteral("D, odliczaj w dół"));
        nameField(c.wbox, clock, QStringLiteral("Wył, wyłącz wyświetlacz"));
        nameField(c.jasnosc, clock, QStringLiteral("jasność"));
        nameWithValue(c.uzas, controlName(clock, QStringLiteral("napięcie zasilania")));
        nameAfterCaption(c.btnZ, clock);
        nameAfterCaption(c.btnS, clock);
    }
}

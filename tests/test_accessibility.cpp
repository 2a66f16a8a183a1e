// needs: qt
// Polish on Qt's own buttons, what a screen reader hears for each control, the "Aktywny" and
// display-off boxes acting however they are toggled, and the menus' keyboard mnemonics.
#include <QAccessible>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QSlider>

#include "dialogs/JakieCOMy.h"
#include "dialogs/Monitor.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"
#include "tests/test_main_window_fixture.h"

namespace {

QAccessibleInterface* accessible(QWidget* w) { return QAccessible::queryAccessibleInterface(w); }
QString nameOf(QWidget* w) { return accessible(w)->text(QAccessible::Name); }

// The named controls an operator reaches or reads, not the inner parts of composite ones. The
// clocks' time fields are left out: the reply decoder names them with the time they show.
QList<QWidget*> controls(QWidget* window)
{
    QList<QWidget*> out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSlider*>(w) ||
                             qobject_cast<QProgressBar*>(w) || qobject_cast<LinkGauge*>(w) ||
                             qobject_cast<QAbstractScrollArea*>(w);
        const QString name = w->objectName();
        if (control && !name.isEmpty() && !name.startsWith(QLatin1String("qt_")) && !name.endsWith(QLatin1String("czas")))
            out << w;
    }
    return out;
}

// A drop-down list reads as its entry on Linux: what it is for is its label or description.
void expectAllNamed(QWidget* window)
{
    for (QWidget* w : controls(window)) {
        QAccessibleInterface* i = accessible(w);
        const bool named = !i->text(QAccessible::Name).isEmpty() ||
                           (qobject_cast<QComboBox*>(w) && (!i->text(QAccessible::Description).isEmpty() ||
                                                            !i->relations(QAccessible::Label).isEmpty()));
        EXPECT_TRUE(named) << window->objectName().toStdString() << "/" << w->objectName().toStdString();
    }
}

} // namespace

TEST(QtTexts, StandardButtonsAndTheFileDialogArePolish)
{
    // Whatever the locale the tests run in.
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kadrel"), QStringLiteral("?"),
                    QMessageBox::Cancel | QMessageBox::Yes);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Anuluj"));
    EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), QStringLiteral("Tak"));
    QFileDialog files;
    files.setOption(QFileDialog::DontUseNativeDialog);
    EXPECT_EQ(files.findChild<QLabel*>(QStringLiteral("lookInLabel"))->text().remove(QLatin1Char('&')),
              QStringLiteral("Szukaj w:"));
    EXPECT_EQ(files.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->text().remove(QLatin1Char('&')),
              QStringLiteral("Otwórz"));
}

TEST_F(ConnectedWindowTest, EveryControlHasANameAndEachClocksNamesItsClock)
{
    TForm1& w = *form;
    expectAllNamed(&w);
    const std::pair<const char*, const char*> cases[] = {
        {"Z1boxActiv", "Zegar 1: Aktywny"},   {"BtnZ3", "Zegar 3: RTC"},          {"W3Box", "Zegar 3: Wył, wyłącz wyświetlacz"},
        {"Z4jasnosc", "Zegar 4: jasność"},    {"Medit", "Stoper: minuty"},        {"Sedit", "Stoper: sekundy"},
        {"Button3", "Stoper: START"},         {"Button_polacz", "Połączenie: START"}, {"Edit_status", "Stan połączenia"},
    };
    for (const auto& [object, name] : cases)
        EXPECT_EQ(nameOf(w.findChild<QWidget*>(QString::fromLatin1(object))), QString::fromUtf8(name)) << object;

    // No two controls sound alike.
    QStringList names;
    for (QWidget* c : controls(&w))
        if (!qobject_cast<QComboBox*>(c))
            names << nameOf(c);
    EXPECT_EQ(names.size(), QSet<QString>(names.begin(), names.end()).size()) << names.join(u'|').toStdString();

    // The voltage reads with the value it shows; the gauge as a progress bar with its percentage.
    w.Clocks[2].uzas->setText(QStringLiteral("12,3 V"));
    EXPECT_EQ(nameOf(w.Clocks[2].uzas), QStringLiteral("Zegar 2: napięcie zasilania 12,3 V"));
    w.Clocks[3].bar->SetProgress(42);
    QAccessibleInterface* gauge = accessible(w.Clocks[3].bar);
    EXPECT_EQ(gauge->role(), QAccessible::ProgressBar);
    EXPECT_EQ(gauge->text(QAccessible::Value), QStringLiteral("42 %"));

    TFUstawienia firmware(&w);
    TFAdresy address(&w);
    TFormJakieCOM ports(&w);
    TFPomoc help(&w);
    TFMonitor monitor(&w);
    for (QWidget* d : std::initializer_list<QWidget*>{&firmware, &address, &ports, &help, &monitor})
        expectAllNamed(d);
    EXPECT_EQ(nameOf(firmware.Radio[3]), QStringLiteral("Adres zegara: 3"));
}

// However a box is toggled, the clock acts as on a click, and a click acts once.
TEST_F(ConnectedWindowTest, BoxesActOnEveryChangeOfState)
{
    ClockPanel& c = form->Clocks[2];
    const std::pair<const char*, std::function<void(QCheckBox*)>> ways[] = {
        {"mouse", [](QCheckBox* b) { QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2)); }},
        {"keyboard", [](QCheckBox* b) { QTest::keyClick(b, Qt::Key_Space); }},
        {"screen reader", [](QCheckBox* b) {
             accessible(b)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
         }},
        {"code", [](QCheckBox* b) { b->setChecked(!b->isChecked()); }},
    };
    for (const auto& [how, toggle] : ways) {
        SCOPED_TRACE(how);
        c.bar->SetProgress(40);
        toggle(c.boxActiv);
        ASSERT_FALSE(c.boxActiv->isChecked());   // toggled once, not back again
        EXPECT_TRUE(c.czas->isHidden());
        EXPECT_TRUE(c.btnZ->isHidden());
        toggle(c.boxActiv);
        ASSERT_TRUE(c.boxActiv->isChecked());
        EXPECT_FALSE(c.czas->isHidden());
        EXPECT_EQ(c.bar->Progress(), 0);

        toggle(c.wbox);
        ASSERT_TRUE(c.wbox->isChecked());
        EXPECT_EQ(FontColor(c.czas), NamedColor::clGray);
        toggle(c.wbox);
        EXPECT_EQ(FontColor(c.czas), NamedColor::clBlue);
    }
}

TEST_F(ConnectedWindowTest, MenusHaveDistinctMnemonicsAndAltOpensOpcje)
{
    TForm1& w = *form;
    for (QWidget* menu : {static_cast<QWidget*>(w.MainMenu1), static_cast<QWidget*>(w.Opcje1)}) {
        QSet<QKeySequence> keys;
        for (QAction* a : menu->actions())
            keys.insert(QKeySequence::mnemonic(a->text()));
        EXPECT_EQ(keys.size(), menu->actions().size());
        EXPECT_FALSE(keys.contains(QKeySequence()));
    }
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_O, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.Opcje1->isVisible(); }, 2000));
    w.Opcje1->close();
}

// needs: qt
// Polish on Qt's own buttons, what a screen reader hears for each control, the "Aktywny" and
// display-off boxes acting however they are toggled, and the menus' keyboard mnemonics.
#include <QAccessible>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QDialogButtonBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QRadioButton>
#include <QSlider>

#include "app/KadrelApplication.h"
#include "dialogs/JakieCOMy.h"
#include "dialogs/Monitor.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"
#include "tests/test_main_window_fixture.h"

namespace {

QAccessibleInterface* accessible(QWidget* w)
{
    return QAccessible::queryAccessibleInterface(w);
}

QString nameOf(QWidget* w)
{
    QAccessibleInterface* i = accessible(w);
    return i ? i->text(QAccessible::Name) : QString();
}

// A drop-down list reads as its entry on Linux; a label naming it is the list's name.
bool named(QWidget* w)
{
    QAccessibleInterface* i = accessible(w);
    if (!i)
        return false;
    if (!i->text(QAccessible::Name).isEmpty())
        return true;
    if (qobject_cast<QComboBox*>(w))
        return !i->text(QAccessible::Description).isEmpty() || !i->relations(QAccessible::Label).isEmpty();
    return false;
}

// The controls an operator reaches or reads: buttons, fields, lists, sliders, gauges.
QList<QWidget*> controls(QWidget* window)
{
    QList<QWidget*> out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSlider*>(w) ||
                             qobject_cast<QProgressBar*>(w) || qobject_cast<LinkGauge*>(w) ||
                             qobject_cast<QAbstractScrollArea*>(w);
        // Parts of composite controls (a list's scroll bars and view) belong to their owner.
        const bool part = w->objectName().startsWith(QLatin1String("qt_")) ||
                          (w->parentWidget() && (qobject_cast<QAbstractScrollArea*>(w->parentWidget()) ||
                                                 qobject_cast<QComboBox*>(w->parentWidget()) ||
                                                 w->parentWidget()->objectName().startsWith(QLatin1String("qt_"))));
        if (control && !part && !w->objectName().isEmpty())
            out << w;
    }
    return out;
}

void expectAllNamed(QWidget* window)
{
    SCOPED_TRACE(window->objectName().toStdString());
    for (QWidget* w : controls(window)) {
        // The clocks' time fields are named by the reply decoder, with the time they show.
        if (w->objectName().contains(QRegularExpression(QStringLiteral("^Z[1-4]czas$"))))
            continue;
        EXPECT_TRUE(named(w)) << w->objectName().toStdString();
    }
}

} // namespace

TEST(QtTexts, StandardButtonsAndTheFileDialogArePolish)
{
    // The translation comes with the application object, whatever the locale.
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kadrel"), QStringLiteral("?"),
                    QMessageBox::Cancel | QMessageBox::Yes | QMessageBox::No | QMessageBox::Close);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Anuluj"));
    EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), QStringLiteral("Tak"));
    EXPECT_EQ(box.button(QMessageBox::No)->text().remove(QLatin1Char('&')), QStringLiteral("Nie"));
    EXPECT_EQ(box.button(QMessageBox::Close)->text().remove(QLatin1Char('&')), QStringLiteral("Zamknij"));

    QFileDialog files(nullptr, QString(), QString(), QStringLiteral("zfr (*.zfr)"));
    files.setOption(QFileDialog::DontUseNativeDialog);
    auto* lookIn = files.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    ASSERT_NE(lookIn, nullptr);
    EXPECT_EQ(lookIn->text().remove(QLatin1Char('&')), QStringLiteral("Szukaj w:"));
    auto* buttons = files.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Anuluj"));
    EXPECT_EQ(buttons->button(QDialogButtonBox::Open)->text().remove(QLatin1Char('&')), QStringLiteral("Otwórz"));
}

TEST_F(ConnectedWindowTest, EveryControlHasANameAndEachClocksNamesItsClock)
{
    TForm1& w = *form;
    expectAllNamed(&w);

    const struct {
        const char* objectName;
        const char* name;
    } cases[] = {
        {"Z1boxActiv", "Zegar 1: Aktywny"},        {"BtnZ3", "Zegar 3: RTC"},
        {"BtnS4", "Zegar 4: Stoper"},               {"Z2boxDol", "Zegar 2: D, odliczaj w dół"},
        {"W3Box", "Zegar 3: Wył, wyłącz wyświetlacz"}, {"Z4jasnosc", "Zegar 4: jasność"},
        {"Z1bar", "Zegar 1: jakość łącza"},         {"Z2name", "Zegar 2: nazwa"},
        {"Medit", "Stoper: minuty"},                {"Sedit", "Stoper: sekundy"},
        {"Button3", "Stoper: START"},               {"Button4", "Stoper: STOP"},
        {"Button_polacz", "Połączenie: START"},     {"Button2", "Połączenie: STOP"},
        {"Edit_status", "Stan połączenia"},         {"Z1b", "Cel: zegar 1"},
        {"Z1_4", "Cel: wszystkie zegary"},          {"Button15", "Stoper: 60 m"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nameOf(w.findChild<QWidget*>(QString::fromLatin1(c.objectName))), QString::fromUtf8(c.name))
            << c.objectName;

    // No two controls sound alike.
    QStringList names;
    for (QWidget* c : controls(&w))
        if (!c->objectName().contains(QLatin1String("czas")) && !qobject_cast<QComboBox*>(c))
            names << nameOf(c);
    names.sort();
    EXPECT_EQ(names.size(), QSet<QString>(names.begin(), names.end()).size()) << names.join(u'|').toStdString();

    // The voltage reads with the value it shows, also after the decoder changed it.
    EXPECT_EQ(nameOf(w.Clocks[2].uzas), QStringLiteral("Zegar 2: napięcie zasilania 0,0 V"));
    w.Clocks[2].uzas->setText(QStringLiteral("12,3 V"));
    EXPECT_EQ(nameOf(w.Clocks[2].uzas), QStringLiteral("Zegar 2: napięcie zasilania 12,3 V"));
    EXPECT_EQ(accessible(w.Clocks[2].uzas)->role(), QAccessible::StaticText);

    // The link gauge reads as a progress bar with its percentage.
    w.Clocks[3].bar->SetProgress(42);
    QAccessibleInterface* gauge = accessible(w.Clocks[3].bar);
    EXPECT_EQ(gauge->role(), QAccessible::ProgressBar);
    EXPECT_EQ(gauge->text(QAccessible::Value), QStringLiteral("42 %"));
    ASSERT_NE(gauge->valueInterface(), nullptr);
    EXPECT_EQ(gauge->valueInterface()->currentValue().toInt(), 42);
}

TEST_F(ConnectedWindowTest, DialogControlsHaveNames)
{
    TForm1& w = *form;
    TFUstawienia firmware(&w);
    TFAdresy address(&w);
    TFormJakieCOM ports(&w);
    TFPomoc help(&w);
    TFMonitor monitor(&w);
    for (QWidget* d : std::initializer_list<QWidget*>{&firmware, &address, &ports, &help, &monitor})
        expectAllNamed(d);
    EXPECT_EQ(nameOf(firmware.Radio[3]), QStringLiteral("Adres zegara: 3"));
    EXPECT_EQ(nameOf(firmware.BarBoot), QStringLiteral("Postęp aktualizacji"));
    EXPECT_EQ(nameOf(ports.PortyCom), QStringLiteral("Porty"));
    // The address lists are named by the labels beside them.
    const auto labels = accessible(address.NowyAdres)->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0].first->text(QAccessible::Name), QStringLiteral("Nowy adres"));
}

// However a box is toggled, the clock acts as on a click, and a click acts once.
TEST_F(ConnectedWindowTest, BoxesActOnEveryChangeOfState)
{
    TForm1& w = *form;
    ClockPanel& c = w.Clocks[2];
    const auto viaMouse = [](QCheckBox* b) { QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2)); };
    const auto viaKeyboard = [](QCheckBox* b) { QTest::keyClick(b, Qt::Key_Space); };
    const auto viaScreenReader = [](QCheckBox* b) {
        QAccessibleActionInterface* actions = accessible(b)->actionInterface();
        ASSERT_NE(actions, nullptr);
        ASSERT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::toggleAction()));
        actions->doAction(QAccessibleActionInterface::toggleAction());
    };
    const auto viaCode = [](QCheckBox* b) { b->setChecked(!b->isChecked()); };
    const struct {
        const char* how;
        std::function<void(QCheckBox*)> toggle;
    } ways[] = {{"mouse", viaMouse}, {"keyboard", viaKeyboard}, {"screen reader", viaScreenReader}, {"code", viaCode}};

    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        c.bar->SetProgress(40);
        way.toggle(c.boxActiv);
        ASSERT_FALSE(c.boxActiv->isChecked());   // toggled once, not back again
        EXPECT_TRUE(c.czas->isHidden());
        EXPECT_TRUE(c.btnZ->isHidden());
        way.toggle(c.boxActiv);
        ASSERT_TRUE(c.boxActiv->isChecked());
        EXPECT_FALSE(c.czas->isHidden());
        EXPECT_FALSE(c.btnZ->isHidden());
        EXPECT_EQ(c.bar->Progress(), 0);

        way.toggle(c.wbox);
        ASSERT_TRUE(c.wbox->isChecked());
        EXPECT_EQ(FontColor(c.czas), NamedColor::clGray);
        way.toggle(c.wbox);
        ASSERT_FALSE(c.wbox->isChecked());
        EXPECT_EQ(FontColor(c.czas), NamedColor::clBlue);
    }
}

TEST_F(ConnectedWindowTest, MenusHaveDistinctMnemonicsAndAltOpensOpcje)
{
    TForm1& w = *form;
    const auto check = [](const QList<QAction*>& actions) {
        QSet<QKeySequence> seen;
        for (QAction* a : actions) {
            const QKeySequence key = QKeySequence::mnemonic(a->text());
            EXPECT_FALSE(key.isEmpty()) << a->text();
            EXPECT_FALSE(seen.contains(key)) << a->text();
            seen.insert(key);
        }
    };
    check(w.MainMenu1->actions());
    check(w.Opcje1->actions());
    EXPECT_EQ(QKeySequence::mnemonic(w.Opcje1->title()), QKeySequence(Qt::ALT | Qt::Key_O));

    w.show();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_O, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.Opcje1->isVisible(); }, 2000));
    w.Opcje1->close();
}

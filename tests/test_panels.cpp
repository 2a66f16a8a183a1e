// needs: qt
// The stopwatch panel and the four clock panels: design states, the key filter and the
// normalisation of the minutes and seconds fields, show and hide, and the handlers' effects.
#include "tests/test_main_window_fixture.h"

#include <QGroupBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <QSlider>

namespace {

template <class W>
W* named(QWidget* root, const QString& name)
{
    W* w = root->findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// The eleven status controls that the hide routine hides.
std::vector<QWidget*> statusControls(const ClockPanel& c)
{
    return {c.boxDol, c.czas, c.labelUzas, c.uzas, c.bar, c.jasnosc, c.labelD, c.wbox, c.labelW, c.btnZ, c.btnS};
}

// Types text character by character as key presses, non-ASCII included.
void typeText(QWidget* target, const QString& text)
{
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(target, &release);
    }
}

} // namespace

TEST_F(WindowTest, PanelsCarryTheirNamesCaptionsAndDesignStates)
{
    TForm1& w = createWindow();
    EXPECT_EQ(BackColor(w.GroupZegary), NamedColor::clMoneyGreen);
    EXPECT_EQ(named<QLabel>(&w, "Label6")->text(), QStringLiteral("Sterowanie stoper"));
    EXPECT_EQ(named<QPushButton>(&w, "Button3")->text(), QStringLiteral("START"));
    EXPECT_EQ(named<QPushButton>(&w, "Button4")->text(), QStringLiteral("STOP"));
    EXPECT_EQ(named<QPushButton>(&w, "Button5")->text(), QStringLiteral("USTAW"));
    EXPECT_EQ(named<QPushButton>(&w, "Button11")->text(), QStringLiteral("ZERUJ"));
    EXPECT_EQ(named<QLabel>(&w, "Label1")->text(), QStringLiteral("Min."));
    EXPECT_EQ(named<QLabel>(&w, "Label4")->text(), QStringLiteral("Sek."));
    EXPECT_EQ(named<QLabel>(&w, "Label9")->text(), QStringLiteral(":"));
    for (QLineEdit* field : {w.Medit, w.Sedit}) {
        EXPECT_EQ(field->text(), QStringLiteral("00"));
        EXPECT_EQ(field->maxLength(), 2);
        EXPECT_EQ(BackColor(field), NamedColor::clSilver);
        EXPECT_GT(field->font().pointSize(), w.font().pointSize());
    }
    auto* all = named<QRadioButton>(&w, "Z1_4");
    EXPECT_EQ(all->text(), QStringLiteral("W"));
    EXPECT_EQ(all->toolTip(), QStringLiteral("Steruj wszystkimi zegarami"));
    EXPECT_TRUE(all->isChecked());
    for (int n = 1; n <= 4; ++n) {
        auto* r = named<QRadioButton>(&w, QStringLiteral("Z%1b").arg(n));
        EXPECT_EQ(r->text(), QString::number(n));
        EXPECT_FALSE(r->isChecked());
    }
    const char* presetNames[] = {"Button1", "Button7", "Button8", "Button9", "Button10",
                                 "Button12", "Button13", "Button16", "Button14", "Button15"};
    const char* presetCaptions[] = {"2 m", "3 m", "4 m", "6 m", "8 m", "10 m", "15 m", "20 m", "30 m", "60 m"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(named<QPushButton>(&w, presetNames[i])->text(), QString::fromLatin1(presetCaptions[i]));
        EXPECT_EQ(w.PresetButtons[i]->objectName(), QString::fromLatin1(presetNames[i]));
    }

    const char* numberLabels[] = {"", "Label2", "Label3", "Label5", "Label7"};
    const char* offBoxes[] = {"", "W1box", "W2Box", "W3Box", "W4Box"};
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        const QString d = QString::number(n);
        EXPECT_EQ(named<QFrame>(&w, QStringLiteral("Panel%1").arg(n + 1)), w.Clocks[n].panel);
        auto* number = named<QLabel>(&w, numberLabels[n]);
        EXPECT_EQ(number->text(), QStringLiteral("Nr ") + d);
        EXPECT_TRUE(number->font().bold());
        auto* name = named<QLineEdit>(&w, QStringLiteral("Z%1name").arg(n));
        EXPECT_EQ(name->text(), QStringLiteral("Zegar ") + d);
        EXPECT_EQ(name->maxLength(), 8);
        EXPECT_EQ(BackColor(name), NamedColor::clBtnFace());
        auto* active = named<QCheckBox>(&w, QStringLiteral("Z%1boxActiv").arg(n));
        EXPECT_EQ(active->text(), QStringLiteral("Aktywny"));
        EXPECT_TRUE(active->isChecked());
        auto* czas = named<QLineEdit>(&w, QStringLiteral("Z%1czas").arg(n));
        EXPECT_TRUE(czas->isReadOnly());
        EXPECT_TRUE(czas->text().isEmpty());
        EXPECT_FALSE(czas->focusPolicy() & Qt::TabFocus);
        EXPECT_EQ(FontColor(czas), NamedColor::clBlue);
        EXPECT_EQ(BackColor(czas), NamedColor::clBtnFace());
        EXPECT_GE(czas->font().pointSize(), 24);
        EXPECT_EQ(named<LinkGauge>(&w, QStringLiteral("Z%1bar").arg(n))->Progress(), 0);
        EXPECT_EQ(named<QLabel>(&w, QStringLiteral("LabelD%1").arg(n))->text(),
                  n == 1 ? QStringLiteral("Dól") : QStringLiteral("Dół"));
        auto* down = named<QCheckBox>(&w, QStringLiteral("Z%1boxDol").arg(n));
        EXPECT_EQ(down->text(), QStringLiteral("D"));
        EXPECT_EQ(down->toolTip(), QStringLiteral("Odliczaj w dół"));
        EXPECT_TRUE(down->isChecked());
        EXPECT_EQ(named<QLabel>(&w, QStringLiteral("L%1").arg(n))->text(), QStringLiteral("Wył"));
        auto* off = named<QCheckBox>(&w, offBoxes[n]);
        EXPECT_EQ(off->toolTip(), QStringLiteral("Wyłącz wyświetlacz"));
        EXPECT_FALSE(off->isChecked());
        auto* bright = named<QSlider>(&w, QStringLiteral("Z%1jasnosc").arg(n));
        EXPECT_EQ(bright->orientation(), Qt::Vertical);
        EXPECT_EQ(bright->minimum(), 0);
        EXPECT_EQ(bright->maximum(), 3);
        EXPECT_EQ(bright->value(), 3);
        EXPECT_EQ(bright->tickPosition(), QSlider::TicksBothSides);
        EXPECT_EQ(bright->toolTip(), QStringLiteral("Jasność"));
        EXPECT_EQ(named<QLabel>(&w, QStringLiteral("LabelUzas%1").arg(n))->text(), QStringLiteral("U zas :"));
        EXPECT_EQ(named<QLabel>(&w, QStringLiteral("Z%1Uzas").arg(n))->text(), QStringLiteral("0,0 V"));
        auto* rtc = named<QPushButton>(&w, QStringLiteral("BtnZ%1").arg(n));
        EXPECT_EQ(rtc->text(), QStringLiteral("RTC"));
        EXPECT_EQ(rtc->toolTip(), QStringLiteral("Zegar czasu rzeczywistego"));
        EXPECT_TRUE(rtc->font().bold());
        EXPECT_EQ(FontColor(rtc), NamedColor::clRed);
        auto* stop = named<QPushButton>(&w, QStringLiteral("BtnS%1").arg(n));
        EXPECT_EQ(stop->text(), QStringLiteral("Stoper"));
        EXPECT_EQ(stop->toolTip(), QStringLiteral("Stoper"));
        EXPECT_EQ(FontColor(stop), NamedColor::clSilver);
        EXPECT_EQ(w.Link.RtcMode[n], 0);
    }
}

TEST_F(ConnectedWindowTest, ClockPanelsStandInTwoRowsOfTwoBelowTheStopwatchPanel)
{
    form->show();
    QCoreApplication::processEvents();
    auto pos = [&](QWidget* wdg) { return wdg->mapTo(form->GroupZegary, QPoint(0, 0)); };
    const QPoint p1 = pos(form->Panel1), c1 = pos(form->Clocks[1].panel), c2 = pos(form->Clocks[2].panel),
                 c3 = pos(form->Clocks[3].panel), c4 = pos(form->Clocks[4].panel);
    EXPECT_LT(p1.y(), c1.y());
    EXPECT_EQ(c1.y(), c2.y());
    EXPECT_LT(c1.x(), c2.x());
    EXPECT_EQ(c3.y(), c4.y());
    EXPECT_LT(c1.y(), c3.y());
    EXPECT_EQ(c1.x(), c3.x());
    for (int i = 1; i < 10; ++i)   // presets left to right
        EXPECT_LT(form->PresetButtons[i - 1]->x(), form->PresetButtons[i]->x());
    // Everything fits: no control is squeezed below its minimum.
    for (int n = 1; n <= 4; ++n)
        EXPECT_GE(form->Clocks[n].czas->width(), form->Clocks[n].czas->minimumSizeHint().width());
}

TEST_F(WindowTest, KeyFilterLetsOnlyDigitsBackspaceAndReturnThrough)
{
    TForm1& w = createWindow();
    w.Medit->clear();
    QTest::keyClicks(w.Medit, "a-7 x");
    EXPECT_EQ(w.Medit->text(), QStringLiteral("7"));
    QTest::keyClick(w.Medit, Qt::Key_Backspace);
    EXPECT_EQ(w.Medit->text(), QString());
    QTest::keyClicks(w.Sedit, "+4");
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("00"));   // full: two characters at most
    w.Sedit->clear();
    QTest::keyClicks(w.Sedit, ".4,2");
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("42"));
    QTest::keyClick(w.Sedit, Qt::Key_Left);   // keys that type nothing still work
    QTest::keyClick(w.Sedit, Qt::Key_Delete);
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("4"));

    EXPECT_TRUE(TForm1::KeyPasses(QStringLiteral("\r")));
    EXPECT_TRUE(TForm1::KeyPasses(QStringLiteral("\b")));
    for (char c = '0'; c <= '9'; ++c)
        EXPECT_TRUE(TForm1::KeyPasses(QString(QChar(c))));
    for (const char* s : {"a", "-", " ", "\t", "\x16", "\x1b", "ą"})
        EXPECT_FALSE(TForm1::KeyPasses(QString::fromUtf8(s))) << s;
}

TEST_F(WindowTest, FieldsAreNormalisedWhenLeft)
{
    TForm1& w = createWindow();
    struct Case {
        bool seconds;
        const char* in;
        const char* out;
    } cases[] = {
        {false, "", "00"}, {false, "7", "07"}, {false, "99", "99"}, {false, "60", "60"},
        {true, "", "00"},  {true, "7", "07"},  {true, "75", "59"},  {true, "60", "59"},
        {true, "59", "59"}, {true, "05", "05"},
    };
    for (const Case& c : cases) {
        QLineEdit* field = c.seconds ? w.Sedit : w.Medit;
        field->setText(QString::fromLatin1(c.in));
        if (c.seconds)
            w.SeditExit();
        else
            w.MeditExit();
        EXPECT_EQ(field->text().toStdString(), c.out) << (c.seconds ? "Sedit " : "Medit ") << c.in;
    }
    w.Sedit->setText(QStringLiteral("x"));
    EXPECT_THROW(w.SeditExit(), EConvertError);
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("0x"));
}

TEST_F(WindowTest, OnlyAFocusMovingToAnotherControlIsAnExit)
{
    TForm1& w = createWindow();
    w.Sedit->setText(QStringLiteral("7"));
    // A popup (the field's context menu) or another window taking the activation: no exit.
    for (Qt::FocusReason reason : {Qt::PopupFocusReason, Qt::ActiveWindowFocusReason}) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QApplication::sendEvent(w.Sedit, &out);
        EXPECT_EQ(w.Sedit->text(), QStringLiteral("7")) << reason;
    }
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(w.Sedit, &out);
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("07"));
}

TEST_F(WindowTest, HideAndShowTheElevenStatusControls)
{
    TForm1& w = createWindow();
    ClockPanel& c = w.Clocks[2];
    c.bar->SetProgress(40);
    c.boxActiv->click();   // cleared
    ASSERT_FALSE(c.boxActiv->isChecked());
    for (QWidget* x : statusControls(c))
        EXPECT_TRUE(x->isHidden()) << x->objectName();
    EXPECT_FALSE(c.number->isHidden());
    EXPECT_FALSE(c.name->isHidden());
    EXPECT_FALSE(c.boxActiv->isHidden());
    EXPECT_EQ(c.bar->Progress(), 40);   // hiding leaves the gauge
    for (QWidget* x : statusControls(w.Clocks[1]))
        EXPECT_FALSE(x->isHidden()) << x->objectName();

    c.boxActiv->click();   // checked again
    for (QWidget* x : statusControls(c))
        EXPECT_FALSE(x->isHidden()) << x->objectName();
    EXPECT_EQ(c.bar->Progress(), 0);
    EXPECT_EQ(w.Link.ResetRequest[2], 0);
}

TEST_F(WindowTest, ModeButtonsSetFlagAndColours)
{
    TForm1& w = createWindow();
    ClockPanel& c = w.Clocks[4];
    c.btnS->click();
    EXPECT_EQ(w.Link.RtcMode[4], 0);
    EXPECT_EQ(FontColor(c.btnZ), NamedColor::clSilver);
    EXPECT_EQ(FontColor(c.btnS), NamedColor::clRed);
    c.btnZ->click();
    EXPECT_EQ(w.Link.RtcMode[4], 1);
    EXPECT_EQ(FontColor(c.btnZ), NamedColor::clRed);
    EXPECT_EQ(FontColor(c.btnS), NamedColor::clSilver);
    EXPECT_EQ(w.Link.RtcMode[3], 0);
}

TEST_F(WindowTest, DisplayOffGreysTheTimeField)
{
    TForm1& w = createWindow();
    ClockPanel& c = w.Clocks[3];
    c.wbox->click();
    EXPECT_TRUE(c.wbox->isChecked());
    EXPECT_EQ(FontColor(c.czas), NamedColor::clGray);
    c.wbox->click();
    EXPECT_EQ(FontColor(c.czas), NamedColor::clBlue);
    EXPECT_EQ(FontColor(w.Clocks[2].czas), NamedColor::clBlue);
}

TEST_F(WindowTest, StopwatchButtonsQueueOneCommand)
{
    TForm1& w = createWindow();
    struct Click {
        QPushButton* button;
        uint8_t command;
        const char* minutes;
        const char* seconds;
    };
    const Click clicks[] = {
        {w.Button3, 1, "12", "34"},          {w.Button4, 2, "12", "34"},
        {w.Button5, 3, "12", "34"},          {w.Button11, 3, "00", "00"},
        {w.PresetButtons[0], 3, "02", "00"}, {w.PresetButtons[4], 3, "08", "00"},
        {w.PresetButtons[5], 3, "10", "00"}, {w.PresetButtons[7], 3, "20", "00"},
        {w.PresetButtons[8], 3, "30", "00"}, {w.PresetButtons[9], 3, "60", "00"},
    };
    for (const Click& k : clicks) {
        w.Link.PendingCommand = 0;
        w.Medit->setText(QStringLiteral("12"));
        w.Sedit->setText(QStringLiteral("34"));
        k.button->click();
        EXPECT_EQ(w.Link.PendingCommand, k.command) << k.button->text();
        EXPECT_EQ(w.Medit->text().toStdString(), k.minutes) << k.button->text();
        EXPECT_EQ(w.Sedit->text().toStdString(), k.seconds) << k.button->text();
    }
    // The later of two clicks wins.
    w.PresetButtons[5]->click();
    w.Button3->click();
    EXPECT_EQ(w.Link.PendingCommand, 1);
}

TEST_F(WindowTest, DoubleClicks)
{
    TForm1& w = createWindow();
    w.show();
    QTest::mouseDClick(w.Clocks[3].czas, Qt::LeftButton);
    EXPECT_EQ(w.Link.ResetRequest[3], 1);
    EXPECT_EQ(w.Link.ResetRequest[1], 0);
    EXPECT_EQ(beeps, 0);
    // The stopwatch panel's background beeps (the group is hidden, so show it for the click).
    w.GroupZegary->show();
    QCoreApplication::processEvents();
    QTest::mouseDClick(w.Panel1, Qt::LeftButton, {}, QPoint(w.Panel1->width() - 3, w.Panel1->height() - 3));
    EXPECT_EQ(beeps, 1);
}

TEST_F(WindowTest, ClockNamesTakeOnlyWindows1250Characters)
{
    TForm1& w = createWindow();
    QLineEdit* name = w.Clocks[1].name;
    name->clear();
    typeText(name, QStringLiteral("Łódź€"));
    EXPECT_EQ(name->text(), QStringLiteral("Łódź€"));
    typeText(name, QStringLiteral("日"));
    EXPECT_EQ(name->text(), QStringLiteral("Łódź€"));
    typeText(name, QStringLiteral("abcdef"));
    EXPECT_EQ(name->text(), QStringLiteral("Łódź€abc"));   // eight characters at most

    // A longer name from the settings file stays whole: it can be shortened, not lengthened.
    w.SetClockName(1, QStringLiteral("Hala sportowa"));
    EXPECT_EQ(name->text(), QStringLiteral("Hala sportowa"));
    name->end(false);
    typeText(name, QStringLiteral("x"));
    EXPECT_EQ(name->text(), QStringLiteral("Hala sportowa"));
    QTest::keyClick(name, Qt::Key_Backspace);
    EXPECT_EQ(name->text(), QStringLiteral("Hala sportow"));
    EXPECT_EQ(name->maxLength(), 12);
}

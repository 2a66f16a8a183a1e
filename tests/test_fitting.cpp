// needs: qt
// Every caption fits its control: the main window connected and not, each dialog, a long file
// path, long port names. Run a second time at 200 % (QT_SCALE_FACTOR=2). With KADREL_SHOTS set to
// a folder, the windows are also saved there as pictures to look at.
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>

#include "dialogs/JakieCOMy.h"
#include "dialogs/Monitor.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"
#include "tests/test_dialogs_bench.h"
#include "tests/test_main_window_fixture.h"

namespace {

// The room each kind of control gives its text, as its style lays it out.
QRect room(QWidget* w)
{
    QStyle* style = w->style();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        QStyleOptionButton o;
        o.initFrom(b);
        o.text = b->text();
        o.icon = b->icon();
        const auto element = qobject_cast<QCheckBox*>(w)      ? QStyle::SE_CheckBoxContents
                             : qobject_cast<QRadioButton*>(w) ? QStyle::SE_RadioButtonContents
                                                               : QStyle::SE_PushButtonContents;
        return style->subElementRect(element, &o, w);
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        QStyleOptionFrame o;
        o.initFrom(e);
        o.lineWidth = e->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &o, e) : 0;
        const QMargins m = e->textMargins();
        return style->subElementRect(QStyle::SE_LineEditContents, &o, e).marginsRemoved(m).adjusted(2, 0, -2, 0);
    }
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        QStyleOptionComboBox o;
        o.initFrom(c);
        return style->subControlRect(QStyle::CC_ComboBox, &o, QStyle::SC_ComboBoxEditField, c);
    }
    auto* l = qobject_cast<QLabel*>(w);
    return l->contentsRect().marginsRemoved(QMargins(l->margin(), l->margin(), l->margin(), l->margin()));
}

QString caption(QWidget* w)
{
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text().remove(QLatin1Char('&'));   // the mnemonic mark is not shown
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->wordWrap() || !l->pixmap().isNull() ? QString() : l->text();
    return {};
}

void expectCaptionsFit(QWidget* window)
{
    SCOPED_TRACE(window->objectName().toStdString());
    window->ensurePolished();
    if (window->layout())
        window->layout()->activate();
    for (QWidget* w : window->findChildren<QWidget*>()) {
        // The port selector cuts a long name in the middle itself, whole in its tooltip.
        if (!w->isVisibleTo(window) || qobject_cast<TComComboBox*>(w) || w->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QString text = caption(w);
        if (text.isEmpty())
            continue;
        const QSize need = QFontMetrics(w->font()).size(0, text);
        const QRect have = room(w);
        EXPECT_LE(need.width(), have.width()) << w->objectName().toStdString() << " \"" << text.toStdString() << "\"";
        EXPECT_LE(need.height(), have.height()) << w->objectName().toStdString() << " \"" << text.toStdString() << "\"";
    }
}

void shoot(QWidget* w, const QString& name)
{
    const QString folder = qEnvironmentVariable("KADREL_SHOTS");
    if (folder.isEmpty())
        return;
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"));
    w->grab().save(folder + QLatin1Char('/') + name + QStringLiteral("@") + scale + QStringLiteral(".png"));
}

} // namespace

TEST_F(WindowTest, CaptionsFitTheWindowConnectedAndNotAndEachDialog)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.show();
    connectWindow();
    expectCaptionsFit(&w);
    shoot(&w, QStringLiteral("window"));
    w.Button2->click();
    expectCaptionsFit(&w);
    shoot(&w, QStringLiteral("window-disconnected"));

    TFUstawienia firmware(&w);
    TFAdresy address(&w);
    TFormJakieCOM ports(&w);
    TFPomoc help(&w);
    TFMonitor monitor(&w);
    for (QWidget* d : std::initializer_list<QWidget*>{&firmware, &address, &ports, &help, &monitor}) {
        expectCaptionsFit(d);
        shoot(d, d->objectName());
    }
}

// A long port name is cut in the middle; the selector, and the buttons beside it, stay put.
TEST_F(WindowTest, ThePortNamesLengthMovesNothing)
{
    addPort("A");
    addPort("a-port-name-longer-than-any-selector-would-show-whole");
    TForm1& w = createWindow();
    w.show();
    const QRect start = w.Button_polacz->geometry();
    const QRect combo = w.ComCombo->geometry();
    for (int i : {1, 0, 1}) {
        w.ComCombo->setCurrentIndex(i);
        w.ComComboChange();
        QCoreApplication::processEvents();
        EXPECT_EQ(w.Button_polacz->geometry(), start) << i;
        EXPECT_EQ(w.ComCombo->geometry(), combo) << i;
    }
}

// A path as long as a deep folder makes: the start and the file's name stay, the middle goes,
// and the whole path is in the tooltip.
TEST_F(WindowTest, AFirmwarePathFitsItsLabel)
{
    TForm1& w = createWindow();
    TFUstawienia d(&w);
    const QString deep = QStringLiteral("/home/operator/Dokumenty/Zegary hali sportowej/oprogramowanie/wersja 2026-12/");
    const QString name = QStringLiteral("zegar-duzy.zfr");
    for (const QString& path : {QStringLiteral("/tmp/a.zfr"), deep + name, deep + deep + deep + name}) {
        SCOPED_TRACE(path.toStdString());
        seams().chooseFirmwareFile = [&](QWidget*) { return path; };
        EXPECT_THROW(d.Button1Click(), EInOutError);   // no such file; the label shows it anyway
        expectCaptionsFit(&d);
        EXPECT_EQ(d.LabelNazwaPliku->toolTip(), path);
        const QString shown = d.LabelNazwaPliku->text();
        if (QString(shown).remove(QLatin1Char('\n')) != path) {   // cut: start and file name stay
            EXPECT_TRUE(shown.contains(QStringLiteral("…")));
            EXPECT_TRUE(shown.endsWith(name));
            EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/")));
        }
    }
    d.show();
    shoot(&d, QStringLiteral("firmware"));
    d.hide();
}

// Linux port names are paths: the list grows to show them whole, within the screen's width,
// and comes back to its designed size.
TEST(PortListFit, LongPortNamesShowWhole)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    TFormJakieCOM d(&w);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    const auto fill = [&](const QStringList& names, const QStringList& devices) {
        w.PortNames = names;
        w.PortDevices = devices;
        d.Fill();
        QCoreApplication::processEvents();
    };
    fill({QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyACM10")},
         {QStringLiteral("ftdi_sio: FTDI FT232R USB UART"), QStringLiteral("cdc_acm: Arduino Uno R3")});
    for (QPlainTextEdit* memo : {d.PortyCom, d.DevCom})
        EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0) << memo->objectName().toStdString();
    EXPECT_GT(d.width(), 281);
    for (QWidget* child : d.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(d.rect().contains(child->geometry())) << child->objectName().toStdString();
    expectCaptionsFit(&d);
    shoot(&d, QStringLiteral("ports"));

    fill({QString(400, QLatin1Char('x'))}, {QString(400, QLatin1Char('y'))});
    EXPECT_LE(d.frameGeometry().width(), d.screen()->availableGeometry().width());
    fill({QStringLiteral("COM1")}, {QStringLiteral("virtual /dev/pts/3")});
    EXPECT_EQ(d.size(), QSize(281, 202));
    EXPECT_EQ(d.PortyCom->width(), 81);
    d.hide();
}

// needs: qt
// The three dialogs' frames and controls: titles, fixed client areas, close box only, centring
// on the main window, and the place, size and look of each control.
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <gtest/gtest.h>

#include "dialogs/JakieCOMy.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Zmienadres.h"
#include "tests/test_dialogs_bench.h"

namespace {

struct FrameCase {
    const char* objectName;
    const char* title;
    QSize client;
    std::function<QDialog*(TForm1*)> make;
};

const FrameCase frameCases[] = {
    {"FAdresy", "FAdresy", {144, 128}, [](TForm1* w) -> QDialog* { return new TFAdresy(w); }},
    {"FormJakieCOM", "Porty COM", {281, 202}, [](TForm1* w) -> QDialog* { return new TFormJakieCOM(w); }},
    {"FPomoc", "Pomoc", {361, 121}, [](TForm1* w) -> QDialog* { return new TFPomoc(w); }},
};

// Every child lies within the client area.
void expectInside(const QDialog* d)
{
    const QRect client(QPoint(0, 0), d->size());
    for (const QWidget* child : d->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(client.contains(child->geometry())) << qPrintable(child->objectName());
}

QStringList items(const QComboBox* box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

} // namespace

TEST(DialogFrames, FixedClientAreaCloseBoxOnlyCentredOnTheMainWindow)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    w.show();
    const QRect screen = w.screen()->availableGeometry();
    w.move(screen.left() + 40, screen.top() + 60);

    for (const FrameCase& c : frameCases) {
        SCOPED_TRACE(c.objectName);
        QDialog* d = c.make(&w);
        EXPECT_EQ(d->objectName(), QString::fromLatin1(c.objectName));
        EXPECT_EQ(d->windowTitle(), QString::fromUtf8(c.title));
        EXPECT_EQ(d->minimumSize(), c.client);
        EXPECT_EQ(d->maximumSize(), c.client);
        const Qt::WindowFlags flags = d->windowFlags();
        EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
        EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
        EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
        expectInside(d);

        d->show();
        EXPECT_EQ(d->size(), c.client);
        const QPoint offset = d->frameGeometry().center() - w.frameGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
        d->hide();
        delete d;
    }
}

TEST(DialogFrames, AddressChangeControls)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    TFAdresy d(&w);
    const QStringList four = {"1", "2", "3", "4"};
    EXPECT_EQ(d.Label1->text(), QStringLiteral("Aktualny adres"));
    EXPECT_EQ(d.Label2->text(), QStringLiteral("Nowy adres"));
    EXPECT_EQ(d.Button1->text(), QStringLiteral("Zmień adres"));
    EXPECT_EQ(items(d.TerazAdres), four);
    EXPECT_EQ(items(d.NowyAdres), four);
    EXPECT_EQ(d.TerazAdres->currentText(), QStringLiteral("1"));
    EXPECT_EQ(d.NowyAdres->currentText(), QStringLiteral("2"));
    EXPECT_FALSE(d.TerazAdres->isEditable());
    EXPECT_FALSE(d.NowyAdres->isEditable());
    EXPECT_EQ(d.TerazAdres->width(), 41);
    EXPECT_EQ(d.NowyAdres->width(), 41);
    EXPECT_EQ(d.Button1->size(), QSize(129, 25));
    // Headings left of their lists, the present address above the new one, the button below.
    // The headings fit their room beside the lists.
    EXPECT_LE(d.Label1->sizeHint().width(), d.Label1->width());
    EXPECT_LE(d.Label2->sizeHint().width(), d.Label2->width());
    EXPECT_LE(d.Label1->geometry().right(), d.TerazAdres->x());
    EXPECT_LE(d.Label2->geometry().right(), d.NowyAdres->x());
    EXPECT_LT(d.TerazAdres->geometry().bottom(), d.NowyAdres->y());
    EXPECT_LT(d.NowyAdres->geometry().bottom(), d.Button1->y());
    EXPECT_EQ(w.Link.LinkActive, 0);  // creation pauses polling
}

TEST(DialogFrames, PortListControls)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    TFormJakieCOM d(&w);
    EXPECT_EQ(d.Label1->text(), QStringLiteral("Dostępne porty COM w systemie"));
    EXPECT_EQ(d.Button1->text(), QStringLiteral("Odświerz"));
    EXPECT_EQ(d.PortyCom->size(), QSize(81, 137));
    EXPECT_EQ(d.DevCom->size(), QSize(185, 137));
    EXPECT_TRUE(d.PortyCom->isReadOnly());
    EXPECT_TRUE(d.DevCom->isReadOnly());
    EXPECT_EQ(d.Button1->size(), QSize(265, 25));
    EXPECT_LE(d.Label1->sizeHint().width(), d.Label1->width());
    EXPECT_EQ(d.PortyCom->y(), d.DevCom->y());
    EXPECT_LE(d.PortyCom->geometry().right(), d.DevCom->x());
    EXPECT_LT(d.Label1->geometry().bottom(), d.PortyCom->y());
    EXPECT_LT(d.PortyCom->geometry().bottom(), d.Button1->y());
}

TEST(DialogFrames, HelpControls)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    w.Link.LinkActive = 1;
    TFPomoc d(&w);
    EXPECT_EQ(d.Panel1->geometry(), QRect(0, 0, 361, 121));
    EXPECT_EQ(d.Button1->text(), QStringLiteral("Zamknij"));
    EXPECT_EQ(d.Button1->size(), QSize(192, 25));
    EXPECT_EQ(d.Image1->size(), QSize(113, 81));
    for (QWidget* child : d.Panel1->findChildren<QWidget*>())
        EXPECT_TRUE(QRect(0, 0, 361, 121).contains(child->geometry())) << qPrintable(child->objectName());

    // Contact lines at the left, the first above the second, "Zamknij" under them; the picture
    // in the top right corner, the link under it.
    EXPECT_LT(d.Label2->geometry().bottom(), d.Label1->y());
    EXPECT_LT(d.Label1->geometry().bottom(), d.Button1->y());
    EXPECT_LE(d.Label2->geometry().right(), d.Image1->x());
    EXPECT_GE(d.Image1->geometry().right(), 361 - 12);
    EXPECT_LE(d.Image1->y(), 10);
    EXPECT_LT(d.Image1->geometry().bottom(), d.Label3->y());
    EXPECT_GE(d.Label3->geometry().center().x(), d.Image1->x());
    EXPECT_LE(d.Label3->sizeHint().width(), d.Label3->width());

    for (QLabel* line : {d.Label2, d.Label1}) {
        EXPECT_LE(line->sizeHint().width(), line->width()) << qPrintable(line->text());
        EXPECT_TRUE(line->text().contains(QStringLiteral(" - tel: "))) << qPrintable(line->text());
        EXPECT_EQ(line->font().pixelSize(), 13);
        EXPECT_EQ(line->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    EXPECT_EQ(d.Label3->font().pixelSize(), 13);
    EXPECT_TRUE(d.Label3->font().underline());
    EXPECT_EQ(d.Label3->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(d.Label3->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(w.Link.LinkActive, 1);  // the help dialog leaves polling alone
}

// needs: qt
// The help dialog: the stored picture decoded with libjpeg, the link handed to the browser
// opener, and polling that goes on while the dialog is open.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "dialogs/JpegImage.h"
#include "dialogs/Pomoc.h"
#include "tests/support/BuildPaths.h"
#include "tests/support/TempDir.h"
#include "tests/test_dialogs_bench.h"

namespace {

bool isRed(QRgb c)
{
    return qRed(c) > 180 && qGreen(c) < 120 && qBlue(c) < 120;
}

int redPixels(const QImage& image)
{
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            red += isRed(image.pixel(x, y)) ? 1 : 0;
    return red;
}

} // namespace

TEST(HelpDialog, StoredPictureIsTheCommittedProgressiveJpeg)
{
    const QByteArray stored = TFPomoc::PictureData();
    ASSERT_FALSE(stored.isEmpty());
    const std::string committed = readFile(sourceDir() + "/dialogs/help-picture.jpg");
    EXPECT_EQ(stored.toStdString(), committed);

    const JpegPicture p = decodeJpeg(reinterpret_cast<const uint8_t*>(stored.constData()),
                                     static_cast<size_t>(stored.size()));
    EXPECT_EQ(p.width, 1012);
    EXPECT_EQ(p.height, 666);
    EXPECT_TRUE(p.progressive);
    EXPECT_TRUE(p.multipleScans);

    const QImage image = TFPomoc::Picture();
    ASSERT_EQ(image.size(), QSize(1012, 666));
    // The same pixels as the decoder gave, in the image's padded rows.
    for (QPoint at : {QPoint(0, 0), QPoint(236, 250), QPoint(1011, 665), QPoint(505, 333)}) {
        const uint8_t* rgb = p.rgb.data() + (size_t(at.y()) * 1012 + at.x()) * 3;
        EXPECT_EQ(image.pixel(at), qRgb(rgb[0], rgb[1], rgb[2])) << at.x() << "," << at.y();
    }
    EXPECT_TRUE(isRed(image.pixel(236, 250)));  // a lit segment of the "1"
}

TEST(HelpDialog, PictureIsScaledProportionallyIntoItsCorner)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    auto* d = new TFPomoc(&w);
    EXPECT_EQ(d->Image1->size(), QSize(113, 81));
    const QPixmap shown = d->Image1->pixmap();
    ASSERT_FALSE(shown.isNull());
    // 1012 x 666 into 113 x 81 keeps the ratio: full width, 74 rows.
    EXPECT_EQ(shown.size(), QSize(113, 74));
    EXPECT_GT(redPixels(shown.toImage()), 200);
    delete d;
}

TEST(HelpDialog, OpenWhileConnectedKeepsPollingDuringItsModalLoop)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    bench.connect(1);
    runEventsFor(60);

    int linkWhileOpen = -1;
    int polls = -1;
    whenModal<TFPomoc>([&](TFPomoc& d) {
        linkWhileOpen = w.Link.LinkActive;
        bench.pty(1).drain();
        // Give the dialog's own modal loop a quarter second, then look at the wire.
        QPointer<TFPomoc> dialog(&d);
        QTimer::singleShot(250, [&, dialog] {
            polls = countPolls(bench.pty(1).drain());
            if (dialog)
                dialog->Button1->click();
        });
    });
    w.Pomoc2Click();

    EXPECT_EQ(linkWhileOpen, 1);
    EXPECT_GE(polls, 6);  // a tick each 20 ms here
    EXPECT_EQ(w.FPomoc, nullptr);
    EXPECT_EQ(w.Link.LinkActive, 1);
    EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
}

TEST(HelpDialog, LinkHandsItsTextToTheOpenerAndTheDialogStaysOpen)
{
    DialogBench bench(0);
    TForm1& w = bench.open();

    QString shown;
    bool openAfterClick = false;
    size_t afterRightClick = 99;
    whenModal<TFPomoc>([&](TFPomoc& d) {
        shown = d.Label3->text();
        QTest::mouseClick(d.Label3, Qt::RightButton);
        afterRightClick = bench.opened.size();
        QTest::mouseClick(d.Label3, Qt::LeftButton);
        openAfterClick = d.isVisible();
        d.Button1->click();
    });
    w.Pomoc2Click();

    EXPECT_EQ(afterRightClick, 0u);
    ASSERT_EQ(bench.opened.size(), 1u);
    EXPECT_EQ(bench.opened[0], shown);
    EXPECT_EQ(shown, QStringLiteral("www.example.com/kadrel"));
    EXPECT_TRUE(openAfterClick);
}

// needs: qt
// The address change dialog against a connected main window, on a pseudo-terminal: the
// command frame on the wire, the pause of polling while the dialog is open, and its resumption.
#include <QComboBox>
#include <QPushButton>
#include <gtest/gtest.h>

#include "dialogs/Zmienadres.h"
#include "tests/test_dialogs_bench.h"

namespace {

struct AddressCase {
    const char* name;
    int present;
    int fresh;
    bool presentInRtcMode;
    const char* wire;
};

const AddressCase addressCases[] = {
    {"clock 3 to 1, stopwatch", 3, 1, false, "5A 03 02 01 01 61"},
    {"clock 3 to 1, real-time clock", 3, 1, true, "5A 33 02 01 01 91"},
    {"clock 2 to 2, equal addresses", 2, 2, false, "5A 02 02 01 02 61"},
    {"clock 1 to 4, real-time clock", 1, 4, true, "5A 11 02 01 04 72"},
};

} // namespace

TEST(AddressChange, SendsOneCommandFrameToThePresentAddressAndResumesPolling)
{
    for (const AddressCase& c : addressCases) {
        SCOPED_TRACE(c.name);
        DialogBench bench(1);
        TForm1& w = bench.open();
        bench.connect(1);
        w.Link.RtcMode[size_t(c.present)] = c.presentInRtcMode ? 1 : 0;
        runEventsFor(100);  // some polls go out first

        int linkWhileOpen = -1;
        int pollsWhileOpen = -1;
        whenModal<TFAdresy>([&](TFAdresy& d) {
            linkWhileOpen = w.Link.LinkActive;
            bench.pty(1).drain();
            // Ticks keep coming while the dialog is open, but carry nothing.
            runEventsFor(120);
            pollsWhileOpen = countPolls(bench.pty(1).drain());
            d.TerazAdres->setCurrentIndex(c.present - 1);
            d.NowyAdres->setCurrentIndex(c.fresh - 1);
            d.Button1->click();
        });
        w.Zmianaadresu1Click();

        EXPECT_EQ(linkWhileOpen, 0);
        EXPECT_EQ(pollsWhileOpen, 0);
        EXPECT_EQ(w.FAdresy, nullptr);  // destroyed when the modal loop ended
        EXPECT_EQ(toHex(bench.pty(1).read(6)), c.wire);
        EXPECT_EQ(w.Link.LinkActive, 1);
        runEventsFor(120);
        EXPECT_GE(countPolls(bench.pty(1).drain()), 2);
        EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
    }
}

TEST(AddressChange, CloseBoxSendsNothingAndResumesPolling)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    bench.connect(1);
    runEventsFor(60);

    ByteString whileOpen = "unset";
    whenModal<TFAdresy>([&](TFAdresy& d) {
        bench.pty(1).drain();
        d.TerazAdres->setCurrentIndex(2);
        runEventsFor(100);
        d.close();  // what the close box does
        whileOpen = bench.pty(1).drain();
    });
    w.Zmianaadresu1Click();

    EXPECT_EQ(whileOpen, "");
    EXPECT_EQ(w.Link.LinkActive, 1);
    runEventsFor(120);
    const ByteString after = bench.pty(1).drain();
    EXPECT_GE(countPolls(after), 2);
    for (const WireFrame& f : splitFrames(after))
        EXPECT_EQ(f.data.size(), 1u) << "only polls after a close without sending";
}

TEST(AddressChange, EachOpeningIsFreshAndPausesOnce)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    bench.connect(1);

    for (int round = 0; round < 2; ++round) {
        int present = -1, fresh = -1;
        bool editable = true;
        whenModal<TFAdresy>([&](TFAdresy& d) {
            present = d.TerazAdres->currentIndex();
            fresh = d.NowyAdres->currentIndex();
            editable = d.TerazAdres->isEditable() || d.NowyAdres->isEditable();
            d.TerazAdres->setCurrentIndex(3);  // a choice that must not survive the close
            d.reject();
            // A second close of the same dialog changes nothing more.
            w.Link.LinkActive = 0;
            d.done(QDialog::Rejected);
            EXPECT_EQ(w.Link.LinkActive, 0);
            w.Link.LinkActive = 1;
        });
        w.Zmianaadresu1Click();
        EXPECT_EQ(present, 0);
        EXPECT_EQ(fresh, 1);
        EXPECT_FALSE(editable);
        EXPECT_EQ(w.Link.LinkActive, 1);
    }
}

// A link lost while the dialog is open (the adapter vanished and the window disconnected)
// stays down when the dialog closes: no tick may write to the closed port.
TEST(AddressChange, ClosingAfterTheLinkWentDownLeavesPollingOff)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    bench.connect(1);

    whenModal<TFAdresy>([&](TFAdresy& d) {
        w.Disconnect();
        ASSERT_FALSE(w.ComPort->Connected());
        d.close();
    });
    w.Zmianaadresu1Click();

    EXPECT_EQ(w.Link.LinkActive, 0);
    runEventsFor(100);
    EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
}

// The adapter lost while the dialog is open: the window shrinks behind it and the dialog stays
// centred on it; "Zmień adres" can no longer work and says so instead of doing nothing.
TEST(AddressChange, AfterTheAdapterIsLostTheButtonSaysSoAndTheDialogStaysCentred)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    w.show();
    bench.connect(1);
    const int connectedHeight = w.height();

    int shrunkHeight = 0;
    QPoint offCentre(99, 99);
    std::vector<QString> lossMessages;
    bool openAfterClick = false;
    whenModal<TFAdresy>([&](TFAdresy& d) {
        bench.pty(1).closeMaster();
        bench.pty(1).closeSlave();
        for (int i = 0; i < 100 && (w.ComPort->Connected() || bench.messages.empty()); ++i)
            runEventsFor(20);
        runEventsFor(100);   // the disconnect's wait; the window shrinks
        shrunkHeight = w.height();
        offCentre = d.geometry().center() - w.geometry().center();
        lossMessages = bench.messages;
        bench.messages.clear();
        d.Button1->click();
        openAfterClick = d.isVisible();
        d.close();
    });
    w.Zmianaadresu1Click();

    EXPECT_EQ(lossMessages.size(), 1u) << bench.messageText();
    EXPECT_LT(shrunkHeight, connectedHeight);
    // Within a window frame's width: left where it was, it would be some 290 pixels off.
    EXPECT_LE(offCentre.manhattanLength(), 8) << offCentre.x() << "," << offCentre.y();
    ASSERT_EQ(bench.messages.size(), 1u) << bench.messageText();
    EXPECT_EQ(bench.messages[0], QStringLiteral("Port COM niedostępny: połączenie zostało przerwane, "
                                                "adres nie został zmieniony."));
    EXPECT_TRUE(openAfterClick);
    EXPECT_EQ(w.Link.LinkActive, 0);
}

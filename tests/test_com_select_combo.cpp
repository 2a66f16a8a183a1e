// needs: qt
// The port selector control: binding, listing, Text, the user's pick and the port's removal.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <filesystem>

#include "widgets/ComComboBox.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

TEST(ComComboBox, IsAPickOnlyListThatListsNothingByItself)
{
    TComComboBox box;
    EXPECT_FALSE(box.isEditable());
    EXPECT_EQ(box.ComProperty(), cpNone);
    EXPECT_EQ(box.ComPort(), nullptr);
    EXPECT_FALSE(box.AutoApply());
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.Text(), "");
}

TEST(ComComboBox, BindingWithCpNoneLeavesNoSelection)
{
    TComComboBox box;
    box.addItems({"COM1", "COM3"});  // the owner's own entries
    EXPECT_EQ(box.currentIndex(), 0);
    TComPort port;
    box.SetComPort(&port);
    EXPECT_EQ(box.currentIndex(), -1);
    EXPECT_EQ(box.Text(), "");
    EXPECT_EQ(box.count(), 2);  // binding never changes the list
}

TEST(ComComboBox, BaudRateListSelectsThePortsRate)
{
    TComComboBox box;
    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(box.count(), 16);
    EXPECT_EQ(box.Text(), "Custom");  // no port bound: entry 0
    TComPort port;
    port.SetBaudRate(br19200);
    box.SetComPort(&port);
    EXPECT_EQ(box.Text(), "19200");
    port.SetBaudRate(br115200);
    box.SetComProperty(cpBaudRate);  // refilled, found again
    EXPECT_EQ(box.Text(), "115200");
    box.SetComPort(&port);  // the same port: nothing
    EXPECT_EQ(box.Text(), "115200");
}

TEST(ComComboBox, PortListComesFromTheDeviceMap)
{
    TempDir dir;
    TestPty pty;
    const std::string ports = dir.mkdir("ports");
    for (const char* name : {"COM2", "COM10", "COM1"})
        std::filesystem::create_symlink(pty.slavePath(), ports + "/" + name);
    TComComboBox box;
    box.SetDeviceMap(DeviceMap(dir.file("no-sys"), ports));
    box.SetComProperty(cpPort);
    ASSERT_EQ(box.count(), 3);
    EXPECT_EQ(box.itemText(0).toStdString(), ports + "/COM1");
    EXPECT_EQ(box.itemText(1).toStdString(), ports + "/COM10");
    EXPECT_EQ(box.itemText(2).toStdString(), ports + "/COM2");

    box.SetDeviceMap(DeviceMap(dir.file("no-sys"), dir.file("no-ports")));
    box.SetComProperty(cpPort);
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.currentIndex(), -1);
}

TEST(ComComboBox, TextSelectsIgnoringCaseAndKeepsTheSelectionOtherwise)
{
    TComComboBox box;
    box.addItems({"COM1", "COM3", "COM10"});
    box.SetText("com3");
    EXPECT_EQ(box.Text(), "COM3");
    EXPECT_EQ(box.currentIndex(), 1);
    box.SetText("COM4");
    EXPECT_EQ(box.Text(), "COM3");
    box.SetText("COM");  // exact match only
    EXPECT_EQ(box.Text(), "COM3");
}

TEST(ComComboBox, PortDestroyedUnbindsAndSelectsEntryZero)
{
    TComComboBox box;
    auto* port = new TComPort;
    port->SetStopBits(sbTwoStopBits);
    box.SetComProperty(cpStopBits);
    box.SetComPort(port);
    EXPECT_EQ(box.Text(), "2");
    delete port;
    EXPECT_EQ(box.ComPort(), nullptr);
    EXPECT_EQ(box.currentIndex(), 0);
    // A later pick with AutoApply finds no port and does nothing.
    box.SetAutoApply(true);
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(box.Text(), "1.5");
}

TEST(ComComboBox, UserPickReachesThePortWithAutoApplyBeforeLaterHandlers)
{
    TComComboBox box;
    TComPort port;
    box.SetComProperty(cpParity);
    box.SetComPort(&port);
    ASSERT_EQ(box.Text(), "None");
    TParityBits seenByHandler = prNone;
    QObject::connect(&box, &QComboBox::activated, &box, [&](int) { seenByHandler = port.Parity().Bits(); });
    QSignalSpy changed(&box, &QComboBox::currentIndexChanged);

    QTest::keyClick(&box, Qt::Key_Down);  // "Odd", AutoApply off: stored only
    EXPECT_EQ(box.Text(), "Odd");
    EXPECT_EQ(box.Select().ChosenParity(), prOdd);
    EXPECT_EQ(port.Parity().Bits(), prNone);

    box.SetAutoApply(true);
    QTest::keyClick(&box, Qt::Key_Down);  // "Even"
    EXPECT_EQ(port.Parity().Bits(), prEven);
    EXPECT_EQ(seenByHandler, prEven);
    EXPECT_EQ(changed.count(), 2);
}

TEST(ComComboBox, WithCpNoneAPickOnlyFiresTheSignals)
{
    TComComboBox box;
    TComPort port;
    port.SetPort("COM1");
    box.addItems({"COM1", "COM2"});
    box.SetComPort(&port);
    box.SetAutoApply(true);
    box.setCurrentIndex(0);
    QSignalSpy activated(&box, &QComboBox::activated);
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(activated.count(), 1);
    EXPECT_EQ(box.Text(), "COM2");
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(box.count(), 2);
}

// needs: qtcore
// Port enumeration order and the selector's listing, picking, applying and finding, without
// any widget.
#include <gtest/gtest.h>

#include <filesystem>

#include "serial/ComSelect.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

// A device map of virtual ports only, all leading to one pty.
struct PortFolder {
    explicit PortFolder(std::initializer_list<const char*> names) : ports(dir.mkdir("ports"))
    {
        for (const char* name : names)
            std::filesystem::create_symlink(pty.slavePath(), ports + "/" + name);
    }
    DeviceMap map() const { return DeviceMap(dir.file("no-sys"), ports); }
    std::string path(const std::string& name) const { return ports + "/" + name; }
    TempDir dir;
    TestPty pty;
    std::string ports;
};

} // namespace

TEST(ComSelect, ListSerialPortsSortsIgnoringCase)
{
    PortFolder folder{"COM2", "COM10", "com3", "COM1"};
    std::vector<std::string> names{"stale entry"};
    ListSerialPorts(names, folder.map());
    EXPECT_EQ(names, (std::vector<std::string>{folder.path("COM1"), folder.path("COM10"), folder.path("COM2"),
                                               folder.path("com3")}));
    QStringList list;
    ListSerialPorts(list, folder.map());
    EXPECT_EQ(list.size(), 4);
    EXPECT_EQ(list[3].toStdString(), folder.path("com3"));
}

TEST(ComSelect, NoPortsGiveAnEmptyList)
{
    TempDir dir;
    std::vector<std::string> names{"stale entry"};
    ListSerialPorts(names, DeviceMap(dir.file("a"), dir.file("b")));
    EXPECT_TRUE(names.empty());
}

TEST(ComSelect, FillChoicesListsEachProperty)
{
    std::vector<std::string> entries{"owner's entry"};
    TComSelect select(entries);
    struct Case {
        TComProperty property;
        std::vector<std::string> texts;
    } cases[] = {
        {cpNone, {}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
        {cpBaudRate, {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400",
                      "56000", "57600", "115200", "128000", "256000"}},
    };
    for (const Case& c : cases) {
        select.FillChoices(c.property);
        EXPECT_EQ(select.ComProperty(), c.property);
        EXPECT_EQ(entries, c.texts) << int(c.property);
    }
    PortFolder folder{"COM2", "COM1"};
    select.SetDeviceMap(folder.map());
    select.FillChoices(cpPort);
    EXPECT_EQ(entries, (std::vector<std::string>{folder.path("COM1"), folder.path("COM2")}));
}

TEST(ComSelect, FindCurrentShowsThePortsValue)
{
    std::vector<std::string> entries;
    TComSelect select(entries);
    TComPort port;
    port.SetBaudRate(br19200);
    select.FillChoices(cpBaudRate);
    EXPECT_EQ(select.FindCurrent(), -1);  // no port bound
    select.SetComPort(&port);
    EXPECT_EQ(select.FindCurrent(), 9);
    EXPECT_EQ(entries[9], "19200");
    EXPECT_EQ(select.ChosenBaudRate(), br19200);

    select.FillChoices(cpFlowControl);
    EXPECT_EQ(select.FindCurrent(), 2);  // "None"
    port.FlowControl().SetControlRTS(rtsEnable);
    EXPECT_EQ(select.FindCurrent(), 3);  // "Custom"
    select.FillChoices(cpParity);
    port.Parity().SetBits(prMark);
    EXPECT_EQ(select.FindCurrent(), 3);
    select.FillChoices(cpNone);
    EXPECT_EQ(select.FindCurrent(), -1);

    // cpPort: found ignoring case; the entry's own text becomes the chosen name.
    TempDir empty;
    select.SetDeviceMap(DeviceMap(empty.file("sys"), empty.file("ports")));
    select.FillChoices(cpPort);
    EXPECT_TRUE(entries.empty());
    entries = {"COM1", "COM3"};  // as if the map had listed them
    port.SetPort("com3");
    EXPECT_EQ(select.FindCurrent(), 1);
    EXPECT_EQ(select.ChosenPort(), "COM3");
    port.SetPort("COM9");
    EXPECT_EQ(select.FindCurrent(), -1);
}

TEST(ComSelect, PickAndApplyWithFallBacks)
{
    QStringList entries;
    TComSelect select(entries);
    EXPECT_EQ(select.ChosenBaudRate(), brCustom);  // zero values at start
    EXPECT_EQ(select.ChosenDataBits(), dbFive);
    EXPECT_EQ(select.ChosenFlowControl(), fcHardware);
    TComPort port;
    select.SetComPort(&port);

    select.FillChoices(cpBaudRate);
    select.PickChoice("57600");
    select.ApplyChoice();
    EXPECT_EQ(port.BaudRate(), br57600);
    select.PickChoice("fast");  // no such rate: br9600
    select.ApplyChoice();
    EXPECT_EQ(port.BaudRate(), br9600);

    select.FillChoices(cpStopBits);
    select.PickChoice("1.5");
    select.ApplyChoice();
    EXPECT_EQ(port.StopBits(), sbOne5StopBits);
    select.FillChoices(cpDataBits);
    select.PickChoice("7");
    select.ApplyChoice();
    EXPECT_EQ(port.DataBits(), dbSeven);
    select.FillChoices(cpParity);
    select.PickChoice("odd");
    select.ApplyChoice();
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    select.FillChoices(cpFlowControl);
    select.PickChoice("Software");
    select.ApplyChoice();
    EXPECT_EQ(port.FlowControl().FlowControl(), fcSoftware);
    select.FillChoices(cpPort);
    select.PickChoice("/dev/ttyS7");
    select.ApplyChoice();
    EXPECT_EQ(port.Port(), "/dev/ttyS7");

    select.FillChoices(cpNone);
    select.PickChoice("19200");
    select.ApplyChoice();  // nothing
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.Port(), "/dev/ttyS7");

    select.SetComPort(nullptr);
    select.FillChoices(cpBaudRate);
    select.PickChoice("110");
    EXPECT_NO_THROW(select.ApplyChoice());
    EXPECT_EQ(select.ChosenBaudRate(), br110);
}

TEST(ComSelect, ApplyingANewPortToAnOpenPortReopensIt)
{
    PortFolder folder{"A"};
    TestPty other;
    std::vector<std::string> entries;
    TComSelect select(entries);
    TComPort port;
    port.SetEvents({});
    port.SetPort(folder.path("A"));
    port.OpenPort();
    select.SetComPort(&port);
    select.FillChoices(cpPort);
    select.PickChoice(other.slavePath());
    select.ApplyChoice();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.Port(), other.slavePath());
    select.PickChoice(folder.dir.file("missing"));
    EXPECT_THROW(select.ApplyChoice(), EComPort);  // passed on from the reopen
    EXPECT_FALSE(port.Connected());
}

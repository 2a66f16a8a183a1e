// Firmware blocks and the transfer's acknowledgement, resend and failure rules, driven by a
// scripted host: each wait either delivers the acknowledgement or lets one tick pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "dialogs/FirmwareImage.h"
#include "link/Frame.h"

namespace {

std::vector<uint8_t> image(uint32_t size)
{
    std::vector<uint8_t> img(size);
    img[0] = 'z'; img[1] = 'f'; img[2] = 'r';
    for (uint32_t i = 3; i + 1 < size; ++i) img[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t x = 0;
    for (uint32_t i = 0; i + 1 < size; ++i) x ^= img[i];
    img[size - 1] = x;
    return img;
}

struct Sent {
    uint8_t address;
    ByteString data;
};

class ScriptedHost : public Firmware::Host {
public:
    explicit ScriptedHost(LinkState& link) : link_(link) {}

    std::set<int> withheld;       // block sends (counted from 0, resends included) left unanswered
    std::vector<Sent> frames;
    std::vector<int> gauges;
    std::vector<int> pauses;
    std::vector<std::string> events;  // messages and beeps in order
    int waits = 0;

    void sendFrame(uint8_t address, const ByteString& data) override
    {
        frames.push_back({address, data});
        events.push_back("frame " + std::to_string(address));
        if (address == Frame::BootBlockAddress)
            ackDue_ = withheld.count(blockSends_++) == 0;
    }
    void serviceMessages() override {}
    void waitForEvents() override
    {
        ++waits;
        if (ackDue_) {
            ackDue_ = false;
            link_.RxLastChar = '!';
        } else if (link_.TimeoutTicks > 0) {
            --link_.TimeoutTicks;   // one tick passes
        }
    }
    void pause(int ms) override { pauses.push_back(ms); events.push_back("pause " + std::to_string(ms)); }
    void setGauge(int percent) override { gauges.push_back(percent); }
    void warnKeepPowered() override { events.push_back("warn"); }
    void reportNoAnswer() override { events.push_back("no answer"); }
    void reportFinished() override { events.push_back("finished"); }

    std::vector<Sent> blocks() const
    {
        std::vector<Sent> b;
        for (const Sent& s : frames) if (s.address == Frame::BootBlockAddress) b.push_back(s);
        return b;
    }

private:
    LinkState& link_;
    bool ackDue_ = false;
    int blockSends_ = 0;
};

} // namespace

TEST(FirmwareBlocks, FilesAreCutIntoCountedBlocksFilledWith0xFF)
{
    struct Case { uint32_t size; uint32_t blocks; uint32_t payloadInLast; int firstGauge; int lastGauge; };
    const Case cases[] = {
        {5, 1, 1, 20, 20},
        {68, 1, 64, 94, 94},
        {69, 2, 1, 92, 94},
        {132, 2, 64, 48, 96},
        {8192, 128, 60, 0, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const auto img = image(c.size);
        Firmware::BlockCutter cutter(img.data(), c.size);
        EXPECT_EQ(Firmware::BlockCutter::blockCount(c.size), c.blocks);
        ByteString payload;
        std::vector<int> gauges;
        uint32_t n = 0;
        while (!cutter.lastBlock()) {
            ASSERT_LT(n, c.blocks);
            const ByteString block = cutter.next();
            ASSERT_EQ(block.size(), 65u);
            EXPECT_EQ(static_cast<uint8_t>(block[0]), n);
            gauges.push_back(cutter.gauge());
            if (cutter.lastBlock()) {
                payload += block.substr(1, c.payloadInLast);
                EXPECT_EQ(block.substr(1 + c.payloadInLast), ByteString(64 - c.payloadInLast, '\xFF'));
            } else {
                payload += block.substr(1);
            }
            ++n;
        }
        EXPECT_EQ(n, c.blocks);
        EXPECT_EQ(payload, ByteString(img.begin() + 3, img.end() - 1));
        EXPECT_EQ(gauges.front(), c.firstGauge);
        EXPECT_EQ(gauges.back(), c.lastGauge);
    }
}

TEST(FirmwareBlocks, SizesOutsideTheBufferAreRejected)
{
    const auto img = image(8193);
    EXPECT_THROW(Firmware::BlockCutter(img.data(), 4), std::invalid_argument);
    EXPECT_THROW(Firmware::BlockCutter(img.data(), 8193), std::invalid_argument);
}

TEST(FirmwareTransfer, AllBlocksAcknowledged)
{
    LinkState link;
    ScriptedHost host(link);
    const auto img = image(200);  // 196 payload bytes: 4 blocks
    const Firmware::Result r = Firmware::transfer(link, host, img.data(), 200, 3);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.blocksSent, 4);
    EXPECT_EQ(r.resends, 0);
    ASSERT_EQ(host.frames.size(), 6u);
    EXPECT_EQ(host.frames.front().address, 3);
    EXPECT_EQ(host.frames.front().data, ByteString("\x04"));
    EXPECT_EQ(host.frames.back().address, 102);
    EXPECT_EQ(host.frames.back().data, ByteString("K"));
    EXPECT_EQ(host.gauges, (std::vector<int>{32, 64, 96, 98, 100}));
    EXPECT_EQ(host.events.front(), "warn");
    EXPECT_EQ(host.pauses, (std::vector<int>{2000, 2000, 1000}));
    // Closing: gauge 100, pause, "K", the box, the last pause.
    const std::vector<std::string> tail(host.events.end() - 4, host.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"pause 2000", "frame 102", "finished", "pause 1000"}));
    EXPECT_EQ(link.RxLastChar, '.');
    EXPECT_EQ(host.waits, 4);  // the acknowledgement ends each wait at once
}

TEST(FirmwareTransfer, AWithheldAcknowledgementIsResentAfterTenTicks)
{
    LinkState link;
    ScriptedHost host(link);
    host.withheld = {1};  // the first send of block 1
    const auto img = image(200);
    const Firmware::Result r = Firmware::transfer(link, host, img.data(), 200, 1);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.resends, 1);
    const auto blocks = host.blocks();
    ASSERT_EQ(blocks.size(), 5u);
    EXPECT_EQ(blocks[1].data, blocks[2].data);  // the same frame again
    EXPECT_EQ(static_cast<uint8_t>(blocks[2].data[0]), 1);
    EXPECT_EQ(static_cast<uint8_t>(blocks[3].data[0]), 2);
    EXPECT_EQ(host.waits, 4 + 10);
}

TEST(FirmwareTransfer, TheThirdTimeOutEndsTheTransferWhereverItFalls)
{
    struct Case { const char* what; std::set<int> withheld; int failingBlock; };
    const Case cases[] = {
        {"three on one block", {0, 1, 2}, 0},
        {"one on each of three blocks", {0, 2, 4}, 2},
        {"two, then one later", {1, 2, 5}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkState link;
        ScriptedHost host(link);
        host.withheld = c.withheld;
        const auto img = image(400);  // 6 blocks
        const Firmware::Result r = Firmware::transfer(link, host, img.data(), 400, 2);
        EXPECT_FALSE(r.completed);
        EXPECT_EQ(r.resends, 2);
        EXPECT_EQ(r.blocksSent, c.failingBlock + 1);
        EXPECT_EQ(static_cast<uint8_t>(host.blocks().back().data[0]), c.failingBlock);
        EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "no answer"), 1);
        EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "frame 102"), 0);
        EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "finished"), 0);
        EXPECT_EQ(host.pauses, (std::vector<int>{2000, 1000}));
        EXPECT_NE(host.gauges.back(), 100);
        EXPECT_EQ(host.frames.size(), 1 + c.failingBlock + 1 + 2u);  // boot, blocks, two resends
    }
}

TEST(FirmwareTransfer, ALoneAcknowledgementLeftFromBeforeCountsForTheFirstBlock)
{
    LinkState link;
    link.RxLastChar = '!';
    ScriptedHost host(link);
    host.withheld = {0};
    const auto img = image(68);
    const Firmware::Result r = Firmware::transfer(link, host, img.data(), 68, 1);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.resends, 0);
    EXPECT_EQ(host.waits, 0);
    EXPECT_EQ(host.gauges, (std::vector<int>{94, 100}));
}

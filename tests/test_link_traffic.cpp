// needs: qt
// The window's traffic signals: any number of watchers hear every event, each until it leaves
// or its context goes.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "link/Frame.h"
#include "widgets/LinkTraffic.h"

namespace {

struct Counter : LinkObserver {
    int sent = 0, received = 0, assembled = 0;
    void frameSent(const ByteString&, const FrameAccounting*) override { ++sent; }
    void bytesReceived(const ByteString&) override { ++received; }
    void replyAssembled(const AssembleReport&) override { ++assembled; }
};

void oneOfEach(LinkTraffic& t)
{
    emit t.frameSent(Frame::build(1, "\x01"), nullptr);
    emit t.bytesReceived("Z");
    emit t.replyAssembled(AssembleReport{});
}

} // namespace

TEST(LinkTraffic, EveryWatcherHearsUntilItLeaves)
{
    LinkTraffic traffic;
    Counter a, b, c;
    auto context = std::make_unique<QObject>();
    traffic.watch(&a);
    traffic.watch(&b);
    traffic.watch(&c, context.get());
    EXPECT_EQ(traffic.watchers(), 3);
    oneOfEach(traffic);

    traffic.unwatch(&a);
    context.reset();   // c's watch ends with its context
    EXPECT_EQ(traffic.watchers(), 1);
    oneOfEach(traffic);

    EXPECT_EQ((std::array{a.sent, a.received, a.assembled}), (std::array{1, 1, 1}));
    EXPECT_EQ((std::array{b.sent, b.received, b.assembled}), (std::array{2, 2, 2}));
    EXPECT_EQ((std::array{c.sent, c.received, c.assembled}), (std::array{1, 1, 1}));
    traffic.unwatch(&c);   // gone already: nothing to undo
    EXPECT_EQ(traffic.watchers(), 1);
}

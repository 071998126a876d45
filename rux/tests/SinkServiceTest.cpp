// A service's queue and the application's event: one signal per pop, none
// once the service has stopped, nothing queued after it, and a queue that
// holds exactly what its budget holds.
#include "base/UniqueHandle.h"
#include "rux/item/ItemCodec.h"
#include "rux/sink/SinkService.h"

#include <gtest/gtest.h>

using namespace rux;

namespace {

bool Signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// The service owns a duplicate of `event`, as the sink gives it one.
std::unique_ptr<SinkService> ServiceOn(HANDLE event, size_t budgetBytes = QueueBudgetBytes)
{
    HANDLE duplicate = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    return std::make_unique<SinkService>("Sink", "Service", 1, duplicate, budgetBytes);
}

Delivery DeliverInt(SinkService& service, FrameKind kind, int32_t value)
{
    std::string body;
    ItemCodec::Encode(*ItemNode::MakeInt(value), body);
    return service.Deliver(kind, body.data(), body.size());
}

}  // namespace

TEST(SinkService, SetsTheEventOncePerPopAndNeverAfterStop)
{
    UniqueEvent owned(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE event = owned.get();
    ASSERT_TRUE(event);
    auto service = ServiceOn(event);

    ASSERT_EQ(DeliverInt(*service, FrameKind::Call, 1), Delivery::Queued);
    ASSERT_EQ(DeliverInt(*service, FrameKind::Call, 2), Delivery::Queued);
    EXPECT_TRUE(Signalled(event));
    EXPECT_FALSE(Signalled(event));  // the second message found a signal pending

    QueuedMessage message;
    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.item->number, 1);
    ASSERT_EQ(DeliverInt(*service, FrameKind::Query, 3), Delivery::Queued);
    EXPECT_TRUE(Signalled(event));  // a pop came in between: signalled again

    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.item->number, 2);
    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.kind, 7);
    EXPECT_FALSE(service->TakeNext(message));
    EXPECT_EQ(service->Budget().Used(), 0u);  // every popped message gave its bytes back

    service->Stop();
    EXPECT_EQ(DeliverInt(*service, FrameKind::Call, 4), Delivery::Stopped);
    EXPECT_EQ(service->Budget().Used(), 0u);
    EXPECT_FALSE(Signalled(event));
    EXPECT_FALSE(service->TakeNext(message));
}

// A budget of exactly three messages queues three, also where the last one
// no longer has room for a whole slice of the decoder's charge; a byte less
// queues two. A message over the budget takes nothing from it.
TEST(SinkService, QueuesExactlyWhatItsBudgetHolds)
{
    UniqueEvent owned(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::string body;
    auto wide = ItemNode::MakeAssoc();
    for (int i = 0; i < 100; ++i)
        wide->Set(std::to_string(1000 + i), ItemNode::MakeInt(i));
    ItemCodec::Encode(*wide, body);
    size_t each = 0;
    {
        auto measure = ServiceOn(owned.get());
        ASSERT_EQ(measure->Deliver(FrameKind::Call, body.data(), body.size()), Delivery::Queued);
        each = measure->Budget().Used();
    }
    for (size_t budget : {3 * each, 3 * each - 1}) {
        SCOPED_TRACE(budget);
        auto service = ServiceOn(owned.get(), budget);
        size_t fits = budget / each;
        for (size_t i = 0; i < fits; ++i)
            ASSERT_EQ(service->Deliver(FrameKind::Call, body.data(), body.size()), Delivery::Queued) << i;
        EXPECT_EQ(service->Deliver(FrameKind::Call, body.data(), body.size()), Delivery::OverBudget);
        EXPECT_EQ(service->Budget().Used(), fits * each);
    }
}

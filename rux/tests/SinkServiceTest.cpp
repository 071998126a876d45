// A service's queue and the application's event: one signal per pop, none
// once the service has stopped, and nothing queued after it.
#include "rux/SinkService.h"

#include <gtest/gtest.h>

using namespace rux;

namespace {

bool Signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// The service owns a duplicate of `event`, as the sink gives it one.
std::unique_ptr<SinkService> ServiceOn(HANDLE event)
{
    HANDLE duplicate = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    return std::make_unique<SinkService>("Sink", "Service", 1, duplicate);
}

}  // namespace

TEST(SinkService, SetsTheEventOncePerPopAndNeverAfterStop)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(event);
    auto service = ServiceOn(event);

    ASSERT_TRUE(service->Enqueue(6, ItemNode::MakeInt(1)));
    ASSERT_TRUE(service->Enqueue(6, ItemNode::MakeInt(2)));
    EXPECT_TRUE(Signalled(event));
    EXPECT_FALSE(Signalled(event));  // the second message found a signal pending

    QueuedMessage message;
    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.item->number, 1);
    ASSERT_TRUE(service->Enqueue(7, ItemNode::MakeInt(3)));
    EXPECT_TRUE(Signalled(event));  // a pop came in between: signalled again

    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.item->number, 2);
    ASSERT_TRUE(service->TakeNext(message));
    EXPECT_EQ(message.kind, 7);
    EXPECT_FALSE(service->TakeNext(message));

    service->Stop();
    EXPECT_FALSE(service->Enqueue(6, ItemNode::MakeInt(4)));
    EXPECT_FALSE(Signalled(event));
    EXPECT_FALSE(service->TakeNext(message));
    CloseHandle(event);
}

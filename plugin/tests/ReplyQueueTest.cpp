// The reply queue's bounds and the back-off of failed targets, each at its
// limit, just below and just above, with the numbers the refusals report; and
// the gate that every exchange of the client passes.
#include "plugin/ExchangeGate.h"
#include "plugin/ReplyBackoff.h"
#include "plugin/ReplyQueue.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Refusal = ReplyQueue::Refusal;

ReplyQueue::Entry Reply(DWORD process, const std::string& sink, size_t bytes = 100)
{
    ReplyQueue::Entry entry;
    entry.job.sender.process = process;
    entry.job.sink = sink;
    entry.job.bytes = bytes;
    entry.target = ReplyBackoff::TargetKey(sink);
    return entry;
}

// A target's name, in either case.
std::string Target(size_t i, char letter = 't')
{
    std::string name(1, letter);
    name.append(std::to_string(i));
    return name;
}

// "process:sink" of each reply taken, in order, until none may go.
std::string TakeAll(ReplyQueue& queue, std::vector<ReplyQueue::Entry>& taken)
{
    std::string order;
    ReplyQueue::Entry entry;
    bool dropped = false;
    ULONGLONG agoMs = 0;
    while (queue.Take(0, entry, dropped, agoMs)) {
        order.append(std::to_string(entry.job.sender.process)).append(":").append(entry.job.sink).append(" ");
        taken.push_back(std::move(entry));
    }
    return order;
}

}  // namespace

TEST(ReplyQueue, RefusesAtEachBoundWithTheNumberItReports)
{
    constexpr size_t Budget = ReplyQueue::BudgetBytes;
    const struct {
        const char* what;
        std::vector<std::pair<DWORD, size_t>> queued;  // replies of 100 bytes per process
        size_t bigReply;                               // one more of these bytes from process 9
        DWORD process;
        size_t bytes;
        Refusal refusal;
        ULONGLONG number;
    } cases[] = {
        {"a sender one below its bound", {{1, 15}}, 0, 1, 100, Refusal::None, 0},
        {"a sender at its bound", {{1, 16}}, 0, 1, 100, Refusal::SenderFull, 16},
        {"another sender beside it", {{1, 16}}, 0, 2, 100, Refusal::None, 0},
        {"the queue one below its bound", {{1, 16}, {2, 16}, {3, 16}, {4, 15}}, 0, 5, 100, Refusal::None, 0},
        {"the queue at its bound", {{1, 16}, {2, 16}, {3, 16}, {4, 16}}, 0, 5, 100, Refusal::QueueFull, 64},
        {"the budget filled exactly", {}, Budget - 100, 1, 100, Refusal::None, 0},
        {"the budget one byte over", {}, Budget - 100, 1, 101, Refusal::OverBudget, Budget - 100},
        {"one reply of the whole budget", {}, 0, 1, Budget, Refusal::None, 0},
        {"one reply a byte larger", {}, 0, 1, Budget + 1, Refusal::OverBudget, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ReplyQueue queue;
        for (const auto& [process, count] : c.queued) {
            for (size_t i = 0; i < count; ++i)
                queue.Push(Reply(process, "Target"));
        }
        if (c.bigReply)
            queue.Push(Reply(9, "Other", c.bigReply));
        ULONGLONG number = 0;
        EXPECT_EQ(queue.Check(c.process, "target", c.bytes, 0, number), c.refusal);
        EXPECT_EQ(number, c.number);
    }
}

// Replies in flight count against their sender and the budget until they
// finish, and each finished, dropped or failed reply is counted out once.
TEST(ReplyQueue, TakesAtMostTwoOfASenderAndOneToATargetAndCountsEachOutOnce)
{
    ReplyQueue queue;
    queue.Push(Reply(1, "a"));
    queue.Push(Reply(1, "b"));
    queue.Push(Reply(1, "c"));
    queue.Push(Reply(2, "A"));  // the target of "a": pipe names ignore case
    queue.Push(Reply(2, "d"));
    std::vector<ReplyQueue::Entry> taken;
    EXPECT_EQ(TakeAll(queue, taken), "1:a 1:b 2:d ");
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(queue.Queued(), 2u);
    EXPECT_EQ(queue.Pending(1), 3u);
    EXPECT_EQ(queue.Bytes(), 500u);

    // The first reply ends: its sender and its target may take one more each.
    queue.Finish(taken[0], true, false, 0);
    EXPECT_EQ(TakeAll(queue, taken), "1:c 2:A ");
    for (size_t i = 1; i < taken.size(); ++i)
        queue.Finish(taken[i], true, false, 0);
    EXPECT_EQ(queue.Pending(1), 0u);
    EXPECT_EQ(queue.Pending(2), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);

    // What the pool drops when it stops is counted out too.
    for (int i = 0; i < 16; ++i)
        queue.Push(Reply(1, "e"));
    EXPECT_EQ(queue.DropQueued().size(), 16u);
    EXPECT_EQ(queue.Pending(1), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);
    ULONGLONG number = 0;
    EXPECT_EQ(queue.Check(1, "e", 100, 0, number), Refusal::None);
}

TEST(ReplyQueue, TargetThatFailedIsHeldBackForItsPeriodAndItsQueuedRepliesDropped)
{
    constexpr ULONGLONG Failed = 1000;
    ReplyQueue queue;
    queue.Push(Reply(1, "Stalls"));
    queue.Push(Reply(2, "stalls"));
    ReplyQueue::Entry first;
    bool dropped = false;
    ULONGLONG agoMs = 0;
    ASSERT_TRUE(queue.Take(Failed, first, dropped, agoMs));
    EXPECT_FALSE(dropped);
    queue.Finish(first, true, true, Failed);

    // The reply queued behind it comes out dropped, and is not in flight.
    ReplyQueue::Entry second;
    ASSERT_TRUE(queue.Take(Failed + 7, second, dropped, agoMs));
    EXPECT_TRUE(dropped);
    EXPECT_EQ(agoMs, 7u);
    queue.Finish(second, false, false, Failed + 7);
    EXPECT_EQ(queue.Bytes(), 0u);

    ULONGLONG number = 0;
    EXPECT_EQ(queue.Check(3, "STALLS", 100, Failed + ReplyBackoff::BackoffMs - 1, number), Refusal::BackingOff);
    EXPECT_EQ(number, ReplyBackoff::BackoffMs - 1);
    EXPECT_EQ(queue.Check(3, "STALLS", 100, Failed + ReplyBackoff::BackoffMs, number), Refusal::None);
}

TEST(ReplyBackoff, HoldsTheLatestTargetsUpToItsSizeAndLetsTheOldestGo)
{
    constexpr size_t Size = ReplyBackoff::MaxTargets;
    ReplyBackoff backoff;
    for (size_t i = 0; i < Size; ++i)
        backoff.Failed(Target(i, 'T'), 1000 + i);
    const ULONGLONG now = 1000 + Size;
    auto held = [&](size_t i) {
        ULONGLONG agoMs = 0;
        return backoff.Holds(Target(i), now, agoMs);
    };
    for (size_t i = 0; i < Size; ++i)
        EXPECT_TRUE(held(i)) << i;

    // One more: the target that failed first makes room; a target that fails
    // again keeps its place with its new time.
    backoff.Failed("T1", now);
    backoff.Failed(Target(Size, 'T'), now);
    EXPECT_FALSE(held(0));
    for (size_t i = 1; i <= Size; ++i)
        EXPECT_TRUE(held(i)) << i;
    ULONGLONG agoMs = 0;
    EXPECT_TRUE(backoff.Holds("t1", now + ReplyBackoff::BackoffMs - 1, agoMs));
    EXPECT_FALSE(backoff.Holds("t2", now + ReplyBackoff::BackoffMs - 1, agoMs));
}

TEST(ExchangeGate, CloseCancelsWaitsForThoseInFlightAndLetsNoneIn)
{
    ExchangeGate gate;
    ASSERT_TRUE(gate.Enter());
    EXPECT_EQ(WaitForSingleObject(gate.CancelEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(gate.Close(0)) << "one in flight";

    ExchangeGate waited;
    ASSERT_TRUE(waited.Enter());
    UniqueEvent closed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool idle = false;
    std::thread closer([&] {
        idle = waited.Close(10000);
        SetEvent(closed.get());
    });
    // Closed and cancelled at once; Close returns only once the exchange has left.
    ASSERT_EQ(WaitForSingleObject(waited.CancelEvent(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(waited.Closed());
    bool entered = waited.Enter();
    EXPECT_FALSE(entered);
    if (entered)
        waited.Leave();
    EXPECT_EQ(WaitForSingleObject(closed.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    waited.Leave();
    EXPECT_EQ(WaitForSingleObject(closed.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    closer.join();
    EXPECT_TRUE(idle);
    EXPECT_TRUE(waited.Close(0));
}

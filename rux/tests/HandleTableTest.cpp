// Handle values: a freed slot's old handle never reaches its next occupant,
// and a handle of one kind is never taken for another.
#include "rux/HandleTable.h"

#include <gtest/gtest.h>

using namespace rux;

TEST(HandleTable, ReusedSlotDoesNotAnswerToTheOldHandle)
{
    HandleTable table(12345);
    auto first = std::make_shared<int>(1);
    uint64_t old = table.Add(HandleKind::Item, first);
    ASSERT_EQ(table.Remove(old, HandleKind::Item), first);
    uint64_t fresh = table.Add(HandleKind::Item, std::make_shared<int>(2));
    EXPECT_EQ(static_cast<uint32_t>(old), static_cast<uint32_t>(fresh));  // same slot
    EXPECT_NE(old, fresh);
    EXPECT_EQ(table.Find(old, HandleKind::Item), nullptr);
    EXPECT_EQ(table.Remove(old, HandleKind::Item), nullptr);
    EXPECT_NE(table.Find(fresh, HandleKind::Item), nullptr);
    EXPECT_EQ(table.Count(), 1u);
}

TEST(HandleTable, KindsAndForeignValuesDoNotMatch)
{
    HandleTable table(1);
    uint64_t item = table.Add(HandleKind::Item, std::make_shared<int>(1));
    uint64_t sink = table.Add(HandleKind::Sink, std::make_shared<int>(2));
    EXPECT_EQ(table.Find(item, HandleKind::Sink), nullptr);
    EXPECT_EQ(table.Find(sink, HandleKind::Item), nullptr);
    EXPECT_EQ(table.Remove(sink, HandleKind::Item), nullptr);
    EXPECT_EQ(table.KindOf(sink), static_cast<uint8_t>(HandleKind::Sink));
    uint64_t retagged = (item & ~(uint64_t(0xFF) << 56)) | uint64_t(HandleKind::Sink) << 56;
    EXPECT_EQ(table.Find(retagged, HandleKind::Sink), nullptr);
    for (uint64_t foreign : {uint64_t(0), uint64_t(1), ~uint64_t(0), item + 1000, item ^ (uint64_t(1) << 33)})
        EXPECT_EQ(table.KindOf(foreign), 0) << foreign;

    // Another table (another process) with another seed gives other values.
    HandleTable other(99999);
    EXPECT_NE(other.Add(HandleKind::Item, std::make_shared<int>(3)), item);
}

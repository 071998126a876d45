// The wire form of items: round trips, and every truncation of a valid
// encoding refused.
#include "rux/wire/Frame.h"
#include "rux/item/ItemCodec.h"
#include "rux/tests/RawClient.h"

#include <gtest/gtest.h>

using namespace rux;

namespace {

ItemPtr Sample()
{
    ItemPtr root = ItemNode::MakeAssoc();
    root->Set("proc", ItemNode::MakeString("ApplySBSetting"));
    ItemPtr arg = ItemNode::MakeAssoc();
    arg->Set("EnableScanSpy", ItemNode::MakeBool(true));
    arg->Set("Count", ItemNode::MakeInt(-5));
    arg->Set("Data", ItemNode::MakeBlob(std::string("\0\1\2", 3)));
    root->Set("arg", arg);
    root->Set("empty", ItemNode::MakeAssoc());
    return root;
}

}  // namespace

TEST(ItemCodec, DecodesWhatItEncodes)
{
    std::string first;
    ItemCodec::Encode(*Sample(), first);
    ItemPtr decoded;
    ASSERT_TRUE(ItemCodec::Decode(first.data(), first.size(), decoded));
    std::string second;
    ItemCodec::Encode(*decoded, second);
    EXPECT_EQ(first, second);
    EXPECT_EQ(decoded->Find("arg")->Find("Count")->number, -5);
    EXPECT_EQ(decoded->Find("arg")->Find("Data")->bytes, std::string("\0\1\2", 3));
}

TEST(ItemCodec, RefusesEveryTruncationAndTrailingByte)
{
    std::string encoded;
    ItemCodec::Encode(*Sample(), encoded);
    for (size_t size = 0; size < encoded.size(); ++size) {
        ItemPtr decoded;
        EXPECT_FALSE(ItemCodec::Decode(encoded.data(), size, decoded)) << size;
        EXPECT_EQ(decoded, nullptr);
    }
    ItemPtr decoded;
    std::string longer = encoded + '\0';
    EXPECT_FALSE(ItemCodec::Decode(longer.data(), longer.size(), decoded));
}

TEST(ItemCodec, RefusesNestingDeeperThanTheLimit)
{
    auto nested = [](int depth) {
        ItemPtr item = ItemNode::MakeBool(true);
        for (int i = 1; i < depth; ++i) {
            ItemPtr outer = ItemNode::MakeAssoc();
            outer->Set("k", item);
            item = outer;
        }
        std::string encoded;
        ItemCodec::Encode(*item, encoded);
        return encoded;
    };
    ItemPtr decoded;
    std::string atLimit = nested(MaxItemDepth);
    EXPECT_TRUE(ItemCodec::Decode(atLimit.data(), atLimit.size(), decoded));
    std::string beyond = nested(MaxItemDepth + 1);
    EXPECT_FALSE(ItemCodec::Decode(beyond.data(), beyond.size(), decoded));
}

TEST(Frame, ParsesOnlyExactWellFormedFrames)
{
    std::string frame = Frame::Make(FrameKind::Call, 7, "body");
    FrameView view;
    ASSERT_TRUE(Frame::Parse(frame.data(), frame.size(), view));
    EXPECT_EQ(view.kind, FrameKind::Call);
    EXPECT_EQ(view.service, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.body), view.bodySize), "body");

    struct Case {
        size_t at;
        char value;
    } corruptions[] = {{0, 'X'}, {5, 1}, {6, 1}, {7, 1}, {12, 5}, {13, 1}};
    for (const auto& c : corruptions) {
        std::string bad = frame;
        bad[c.at] = c.value;
        EXPECT_FALSE(Frame::Parse(bad.data(), bad.size(), view)) << c.at;
    }
    EXPECT_FALSE(Frame::Parse(frame.data(), frame.size() - 1, view));
    EXPECT_FALSE(Frame::Parse(frame.data(), 15, view));

    int32_t status = 0;
    uint32_t value = 0;
    std::string ack = Frame::MakeAck(-3, 9);
    ASSERT_TRUE(Frame::Parse(ack.data(), ack.size(), view));
    ASSERT_TRUE(Frame::ParseAck(view, status, value));
    EXPECT_EQ(status, -3);
    EXPECT_EQ(value, 9u);
}

// An associative item holds at most MaxAssocMembers members, built or decoded.
TEST(ItemCodec, AssocsHoldAtMostMaxAssocMembers)
{
    ItemPtr full = ItemNode::MakeAssoc();
    for (size_t i = 0; i < MaxAssocMembers; ++i)
        ASSERT_TRUE(full->Set(std::to_string(100000 + i), ItemNode::MakeBool(true))) << i;
    EXPECT_FALSE(full->Set("one more", ItemNode::MakeBool(true)));
    EXPECT_TRUE(full->Set("100000", ItemNode::MakeBool(false)));  // a member replaced, none added

    std::string encoded;
    ItemCodec::Encode(*full, encoded);
    ItemPtr decoded;
    ASSERT_TRUE(ItemCodec::Decode(encoded.data(), encoded.size(), decoded));
    EXPECT_EQ(decoded->members.size(), MaxAssocMembers);
    // One member more, and a count that says so.
    std::string beyond = encoded;
    beyond.replace(1, 4, ruxtest::U32(MaxAssocMembers + 1));
    beyond.append(ruxtest::StringItem("one more")).append({char(3), 1});
    EXPECT_FALSE(ItemCodec::Decode(beyond.data(), beyond.size(), decoded));
}

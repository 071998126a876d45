// The closes a process remembers until a sink proves them ended: at most
// MaxClosedConnections (the oldest forgotten first), and at most
// MaxAwaitedConnections named by one Open, oldest first.
#include "rux/client/ClosedConnections.h"
#include "rux/wire/Frame.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace rux;

TEST(ClosedConnections, KeepsTheNewest256AndNamesTheOldest16)
{
    ClosedConnections& closed = ClosedConnections::Get();
    const std::string sink = "ClosedConnectionsTest";
    // A full list of this sink's closes pushes out whatever else was there.
    for (uint64_t number = 1; number <= MaxClosedConnections; ++number)
        closed.Add(sink, number);
    std::vector<uint64_t> oldest(MaxAwaitedConnections);
    std::iota(oldest.begin(), oldest.end(), 1);
    EXPECT_EQ(closed.Unproven(sink), oldest);
    closed.Add("closedconnectionstest", MaxClosedConnections + 1);  // names ignore case
    std::iota(oldest.begin(), oldest.end(), 2);
    EXPECT_EQ(closed.Unproven(sink), oldest);

    size_t proven = 0;
    for (auto unproven = closed.Unproven(sink); !unproven.empty(); unproven = closed.Unproven(sink)) {
        proven += unproven.size();
        closed.Proven(sink, unproven);
    }
    EXPECT_EQ(proven, MaxClosedConnections);
    EXPECT_TRUE(closed.Empty());
}

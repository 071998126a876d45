// Owner of one Rux item that the plug-in has to release: one it built
// (RuxBuildItem) or one it read out of another (RuxGetAssoc, RuxGetNthKey,
// RuxGetAt). The owner releases it with RuxReleaseItem when it goes. A popped
// call and its "proc", "service", "source" and "cookie" members stay the
// library's and are never given to an owner.
#pragma once

#include "contracts/RuxApi.h"
#include "base/UniqueHandle.h"

// RuxReleaseItem through a function of this module: a template argument needs
// a constant address, which an imported function does not have everywhere.
inline void ReleaseRuxItem(RuxItem item) noexcept
{
    RuxReleaseItem(item);
}

using UniqueRuxItem = UniqueHandle<RuxItem, ReleaseRuxItem>;

// A Rux item as compact text for comparisons: strings quoted ("text"),
// numbers in decimal, true/false, byte strings as blob"..." (bytes outside
// printable ASCII as \xHH), associative items as {key:value,...} in member
// order. "<invalid>" for a handle that is not a live item.
#pragma once

#include "contracts/RuxExtensions.h"

#include <string>

namespace testsupport {

std::string ItemText(RuxItem item);

}  // namespace testsupport

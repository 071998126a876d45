// A fixture that sets the user's engine state aside for each test and puts it
// back afterwards (the engine's and vtctl's tests): the state under
// "Software\Halvern\OLV" is copied aside and removed before the test, so each
// test starts from no state, and restored after it. Each test gets its own
// virtual-data folder, not yet made, in a temporary folder of its own.
//
// Tests that use it declare RESOURCE_LOCK halvern_registry.
#pragma once

#include "tests/support/TempFolder.h"
#include "vtapi/EngineState.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

class EngineSandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    EngineState state_;
    TempFolder temp_;
    std::wstring folder_ = temp_ / L"virtual";

private:
    UniqueKey root_;
    bool saved_ = false;
    bool makerExisted_ = false;
};

}  // namespace testsupport

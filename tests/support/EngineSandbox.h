// A fixture that sets the user's engine state aside for each test and puts it
// back afterwards (the engine's and vtctl's tests): the state under
// "Software\Halvern\OLV" is copied aside and removed before the test, so each
// test starts from no state, and restored after it. Each test gets its own
// virtual-data folder, not yet made, in a temporary folder of its own.
//
// Tests that use it declare RESOURCE_LOCK halvern_registry. Beside it, a watch
// on a key of the state.
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

// A watch on a key of an engine state, as a watcher of the statistics keeps
// one: names and values of the key and, with `subtree`, of its sub-keys. It is
// armed when made and again by Arm, and fires once per arming.
class KeyWatch {
public:
    KeyWatch(const EngineState& state, const wchar_t* path, bool subtree = true);
    bool Arm();
    bool Armed() const { return armed; }
    // Whether it fired within `timeoutMs`; 0 asks whether it has fired already.
    bool Fired(DWORD timeoutMs = 5000) const;

private:
    UniqueKey key;
    UniqueEvent event;
    bool subtree;
    bool armed = false;
};

}  // namespace testsupport

// Captures what a piece of code logs, for tests: opens the process log on a
// fresh file in a folder of its own under %TEMP% (every level, direct writes,
// no rotation in practice), and gives back the exact lines written so far.
//
//   LogCapture capture;                 // check capture.opened()
//   ... code under test logs ...
//   EXPECT_EQ(capture.Messages(), (std::vector<std::wstring>{L"RuxUIClient::Destroy: ..."}));
//
// The capture writes plain files: it sets "OLVLOGFLAGS" to 1 for its lifetime
// (started child processes inherit it) and restores the previous value after.
// So it reads back without the private key, and it never touches the user's
// shared stream key.
//
// One capture at a time per process (a process has one log). Tests that use it
// from several processes share the mutex "_OLVINTERNAL_LOG_": declare them with
// RESOURCE_LOCK olv_log_mutex.
#pragma once

#include "log/ProcessLogControl.h"
#include "tests/support/LogSupport.h"

#include <optional>
#include <string>
#include <vector>

class LogCapture {
public:
    explicit LogCapture(unsigned minLevel = 0);
    // Closes the log and removes its folder.
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const noexcept { return result == OlvLogOpened; }
    OlvLogOpenResult openResult() const noexcept { return result; }
    const std::wstring& path() const noexcept { return file; }

    // Sends out the batch, then reads the file: whole lines, prefix included.
    std::vector<std::wstring> Lines() const;
    // The same lines without their "[tick:pid:tid:level] " prefix.
    std::vector<std::wstring> Messages() const;

private:
    std::wstring folder;
    std::wstring file;
    // Plain files while the capture lasts; declared after the folder and file
    // names, so it is restored before they are removed.
    std::optional<testsupport::ScopedLogFlags> plainFiles;
    OlvLogOpenResult result = OlvLogBadArgument;
};

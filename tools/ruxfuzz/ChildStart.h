// Starts ruxfuzz's child processes (the host, the console) with standard
// streams of the caller's choosing.
#pragma once

#include <windows.h>

#include <string>

// Starts `path` with `commandLine`, handing it the inheritable `input`,
// `output` and `errorOutput`, as this process's user, or with `token` (a
// primary token, such as this process's own with a lower integrity level).
// On failure returns false with the system's error code in `startError`.
bool StartWithStreams(const std::wstring& path, std::wstring commandLine, HANDLE input, HANDLE output,
                      HANDLE errorOutput, PROCESS_INFORMATION& info, DWORD& startError, HANDLE token = nullptr);

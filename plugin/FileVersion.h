// The fixed file version of a file, as a number and as the four-part text.
// The system's version functions come from "version.dll" of the system
// folder, loaded on the first query (not at start-up, and not imported) and
// kept until the process ends; all queries of the process run one at a time.
#pragma once

#include <cstdint>
#include <string>

// dwFileVersionMS in the high and dwFileVersionLS in the low 32 bits; 0 when
// the file has no version, or the version functions are missing, or any step
// fails. Throws std::bad_alloc.
std::uint64_t GetFileVersionNumber(const std::wstring& path);

// "major.minor.build.revision", each the full 16-bit half of its word
// (17.18.3.4 stays 17.18.3.4); the empty string when the number is 0, so also
// for version 0.0.0.0. Throws std::bad_alloc.
std::wstring GetFileVersionString(const std::wstring& path);

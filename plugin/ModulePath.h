// The plug-in's own module path in its long form, and the expansion of 8.3
// short-name components in any path.
#pragma once

#include <windows.h>

#include <string>

class LongPathCache;

// The full path of the module that contains this code (not the host's
// executable), expanded; the unexpanded path if the expansion is empty; the
// empty string if the system cannot give the path. Throws std::bad_alloc.
std::wstring GetModulePath();

// The file name of `module` as the system reports it, however long; empty on
// failure. Throws std::bad_alloc.
std::wstring ModuleFileName(HMODULE module);

// `path` with each component that holds a "~" (and no "*" or "?") replaced by
// the long name the file system reports for it; the first component (a drive,
// or the empty one before a leading backslash) and a leading "\??\" are kept
// as they are, and so are empty components (doubled or trailing backslashes).
// A short component that is not found stays as written, and such an
// incomplete expansion is not cached. Never empty for a non-empty path.
// The first form uses the process-wide cache, created on the first non-empty
// path and destroyed at process exit. Throws std::bad_alloc.
std::wstring ExpandShortPath(const std::wstring& path);
std::wstring ExpandShortPath(const std::wstring& path, LongPathCache& cache);

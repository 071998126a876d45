// The tests of this executable write plain logs unless they say otherwise
// (ScopedLogFlags in EncryptedLogSupport.h): most of them check exact lines and
// file sizes of the plain format, and a plain log never touches the user's
// shared stream key. A child process keeps what its parent test gave it.
#include <windows.h>

#include <cwchar>

namespace {

struct PlainLogsByDefault {
    PlainLogsByDefault()
    {
        if (std::wcsstr(GetCommandLineW(), L" --log-child ") == nullptr)
            SetEnvironmentVariableW(L"OLVLOGFLAGS", L"1");
    }
} Default;

}  // namespace

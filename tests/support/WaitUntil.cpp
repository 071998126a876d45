#include "tests/support/WaitUntil.h"

namespace testsupport {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline)
            return condition();
        Sleep(1);
    }
    return true;
}

}  // namespace testsupport

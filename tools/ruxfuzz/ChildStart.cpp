#include "tools/ruxfuzz/ChildStart.h"

bool StartWithStreams(const std::wstring& path, std::wstring commandLine, HANDLE input, HANDLE output,
                      HANDLE errorOutput, PROCESS_INFORMATION& info, DWORD& startError, HANDLE token)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errorOutput;
    // Wine now and then loses a new process before it has started and says
    // ERROR_INTERNAL_ERROR; the same start made again works. Other errors are
    // the program's own and are reported at once.
    for (int attempt = 0; attempt < 3; ++attempt) {
        info = {};
        BOOL started = token ? CreateProcessAsUserW(token, path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                                    nullptr, nullptr, &startup, &info)
                             : CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                              nullptr, &startup, &info);
        if (started)
            return true;
        startError = GetLastError();
        if (startError != ERROR_INTERNAL_ERROR)
            break;
    }
    return false;
}

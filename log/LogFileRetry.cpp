#include "log/LogFileRetry.h"

const wchar_t* LogFileTroubleText(LogFileTrouble trouble) noexcept
{
    switch (trouble) {
    case LogFileTrouble::None: return L"no trouble";
    case LogFileTrouble::NameNotRotatable: return L"the name takes no \".old\"";
    case LogFileTrouble::RotationBlocked: return L"the full file could not be moved to \".old\"";
    case LogFileTrouble::OldNameRefused:
        return L"\".old\" is a link, a reparse point or a file of several names, which the log neither empties, "
               L"moves nor deletes";
    case LogFileTrouble::LiveNameRefused:
        return L"the name is a link, a reparse point or a file of several names, which the log does not write";
    case LogFileTrouble::OpenFailed: return L"the file could neither be opened nor created";
    case LogFileTrouble::ForeignNotMoved:
        return L"the file was begun under another key or format and could not be moved away";
    case LogFileTrouble::IdentityKept: return L"the thread's impersonation could not be set aside";
    }
    return L"unknown trouble";
}

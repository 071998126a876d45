#include "tools/olvlog/LogFileSource.h"

namespace {

constexpr DWORD PartBytes = 1 << 20;

}  // namespace

HANDLE OpenLogForReading(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IdentifyFile(HANDLE file, FileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information))
        return false;
    identity->volume = information.dwVolumeSerialNumber;
    identity->index = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    return true;
}

LogFileSource::LogFileSource(std::wstring name, const LogFileKey* key)
    : name(std::move(name)), key(key), decoder(std::make_unique<LogRecordDecoder>(key))
{
}

LogFileSource::~LogFileSource()
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

bool LogFileSource::Open(DWORD* error)
{
    HANDLE opened = OpenLogForReading(name);
    if (opened == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    Adopt(opened);
    return true;
}

void LogFileSource::Adopt(HANDLE opened)
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    file = opened;
    identity = FileIdentity{};
    IdentifyFile(file, &identity);
}

size_t LogFileSource::ReadPart(DWORD* error)
{
    *error = 0;
    if (!decoder->Readable())
        return 0;
    part.resize(PartBytes);
    DWORD got = 0;
    if (!ReadFile(file, part.data(), PartBytes, &got, nullptr)) {
        *error = GetLastError();
        return 0;
    }
    decoder->Feed(part.data(), got, found);
    return got;
}

void LogFileSource::Restart()
{
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    decoder = std::make_unique<LogRecordDecoder>(key);
    found = LogFileContents();
    verdictGiven = false;
    keyRecordTaken = false;
}

uint64_t LogFileSource::CurrentSize() const
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        return ~uint64_t{0};
    return static_cast<uint64_t>(size.QuadPart);
}

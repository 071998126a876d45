// ExpandShortPath: the first expansion of a path (one directory search per
// short component, then the store) against a hit in the long-path cache.
// Works on short names that the file system makes in a temporary folder of
// its own, removed at the end. Prints one table row per case.
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "plugin/LongPathCache.h"
#include "plugin/ModulePath.h"

#include <windows.h>

#include <stdio.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char UsageText[] =
    "usage: bench_modulepath [--rounds N] [--iterations N]\n"
    "  Times ExpandShortPath of a path with short components: the first\n"
    "  expansion (fresh cache) against a cache hit, in nanoseconds per call\n"
    "  (median of N rounds). Defaults: 11 rounds of 2000 calls.\n";

volatile std::size_t Sink;

template <typename Body>
double MedianNs(int rounds, int iterations, Body body)
{
    std::vector<double> perCall;
    for (int r = 0; r < rounds; ++r) {
        double start = Now();
        for (int i = 0; i < iterations; ++i)
            body();
        perCall.push_back((Now() - start) * 1e9 / iterations);
    }
    return Median(perCall);
}

std::wstring ShortPathOf(const std::wstring& path)
{
    wchar_t shortPath[MAX_PATH + 1] = {};
    DWORD length = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(shortPath, length) : std::wstring();
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 11, iterations = 2000;
    BenchArguments arguments("bench_modulepath", UsageText);
    arguments.Count("--rounds", rounds).Count("--iterations", iterations);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;

    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        fprintf(stderr, "bench_modulepath: no temporary folder (error %lu)\n", GetLastError());
        return 1;
    }
    std::wstring root = std::wstring(temp, length) + L"olv-bench-modulepath-" + std::to_wstring(GetCurrentProcessId());
    std::wstring longPath = root + L"\\Long Folder Name Number One\\Long Folder Name Number Two";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\Long Folder Name Number One").c_str(), nullptr);
    CreateDirectoryW(longPath.c_str(), nullptr);
    std::wstring shortPath = ShortPathOf(longPath);
    if (shortPath.empty()) {
        fprintf(stderr, "bench_modulepath: no short name (error %lu)\n", GetLastError());
        RemoveTree(root);
        return 1;
    }
    const std::wstring path = shortPath + L"\\module.dll";

    printf("path: %ls\n\n", path.c_str());
    printf("%-32s %14s\n", "case", "ns per call");
    fflush(stdout);

    double first = MedianNs(rounds, iterations, [&] {
        LongPathCache cache;
        Sink = Sink + ExpandShortPath(path, cache).size();
    });
    int searches = 0;
    for (std::size_t at = path.find(L'~'); at != std::wstring::npos; at = path.find(L'~', path.find(L'\\', at)))
        ++searches;
    char label[64];
    snprintf(label, sizeof(label), "first expansion (%d searches)", searches);
    printf("%-32s %14.1f\n", label, first);
    fflush(stdout);

    LongPathCache cache;
    ExpandShortPath(path, cache);
    double hit = MedianNs(rounds, iterations * 10, [&] { Sink = Sink + ExpandShortPath(path, cache).size(); });
    printf("%-32s %14.1f\n", "cache hit", hit);
    printf("%-32s %14.1f\n", "ratio", first / hit);

    RemoveTree(root);
    return 0;
}

// ExclusiveLock against the system's SRWLOCK and CRITICAL_SECTION: one thread's
// uncontended acquire+release, and two threads that each make 1,000,000
// increments of one counter under the lock. Prints one table row per case:
// medians of several rounds, with the target each case has to meet.
#include "bench/common/BenchArguments.h"
#include "bench/common/BenchTiming.h"
#include "runtime/ExclusiveLock.h"
#include "runtime/MultiProcessor.h"

#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr char UsageText[] =
    "usage: bench_runtime [--rounds N] [--iterations N] [--increments N] [--single-processor]\n"
    "  Times ExclusiveLock against SRWLOCK and CRITICAL_SECTION.\n"
    "  --rounds N      rounds per case, medians are printed (default 9)\n"
    "  --iterations N  uncontended acquire+release pairs per round (default 2000000)\n"
    "  --increments N  increments per thread in the contended case (default 1000000)\n"
    "  --single-processor  force ExclusiveLock's single-processor acquire path\n";

// The three locks behind one shape, so that every case runs the same loop.
struct OlvLock {
    ExclusiveLock lock;
    void Acquire() { lock.Acquire(); }
    void Release() { lock.Release(); }
};

struct SrwLock {
    SRWLOCK lock = SRWLOCK_INIT;
    void Acquire() { AcquireSRWLockExclusive(&lock); }
    void Release() { ReleaseSRWLockExclusive(&lock); }
};

struct CriticalSection {
    CRITICAL_SECTION section;
    CriticalSection() { InitializeCriticalSection(&section); }
    ~CriticalSection() { DeleteCriticalSection(&section); }
    void Acquire() { EnterCriticalSection(&section); }
    void Release() { LeaveCriticalSection(&section); }
};

volatile long Counter;

template <typename Lock>
double UncontendedNs(Lock& lock, int iterations)
{
    double start = Now();
    for (int i = 0; i < iterations; ++i) {
        lock.Acquire();
        Counter = Counter + 1;
        lock.Release();
    }
    return (Now() - start) * 1e9 / iterations;
}

template <typename Lock>
struct ContendedRun {
    Lock* lock;
    long increments;
    HANDLE go;
};

template <typename Lock>
DWORD WINAPI ContendedThread(LPVOID parameter)
{
    auto* run = static_cast<ContendedRun<Lock>*>(parameter);
    WaitForSingleObject(run->go, INFINITE);
    for (long i = 0; i < run->increments; ++i) {
        run->lock->Acquire();
        Counter = Counter + 1;
        run->lock->Release();
    }
    return 0;
}

// Milliseconds for two threads to make `increments` increments each; -1 when the
// counter came out wrong (a broken lock).
template <typename Lock>
double ContendedMs(long increments)
{
    Lock lock;
    Counter = 0;
    ContendedRun<Lock> run{&lock, increments, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE threads[2];
    for (HANDLE& thread : threads)
        thread = CreateThread(nullptr, 0, ContendedThread<Lock>, &run, 0, nullptr);
    Sleep(20);  // both threads parked on the start event
    double start = Now();
    SetEvent(run.go);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    double ms = (Now() - start) * 1e3;
    for (HANDLE thread : threads)
        CloseHandle(thread);
    CloseHandle(run.go);
    return Counter == 2 * increments ? ms : -1.0;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 9, iterations = 2000000, increments = 1000000;
    bool singleProcessor = false;
    BenchArguments arguments("bench_runtime", UsageText);
    arguments.Count("--rounds", rounds).Count("--iterations", iterations).Count("--increments", increments);
    arguments.Switch("--single-processor", singleProcessor);
    if (std::optional<int> exit = arguments.Read(argc, argv))
        return *exit;
    if (singleProcessor)
        MultiProcessor = false;

    printf("MultiProcessor = %s, %d rounds, medians\n\n", MultiProcessor ? "true" : "false", rounds);

    // Uncontended: the three locks run in alternate rounds, so that a
    // neighbour's load on the machine falls on all of them alike.
    printf("uncontended acquire+release (%d per round)\n", iterations);
    fflush(stdout);
    {
        OlvLock olv;
        SrwLock srw;
        CriticalSection cs;
        std::vector<double> olvNs, srwNs, csNs, olvToCs, olvToSrw;
        for (int r = 0; r < rounds; ++r) {
            olvNs.push_back(UncontendedNs(olv, iterations));
            srwNs.push_back(UncontendedNs(srw, iterations));
            csNs.push_back(UncontendedNs(cs, iterations));
            olvToCs.push_back(olvNs.back() / csNs.back());
            olvToSrw.push_back(olvNs.back() / srwNs.back());
        }
        double ratioCs = Median(olvToCs);
        double ratioSrw = Median(olvToSrw);
        printf("  %-18s %10s %16s\n", "lock", "ns/pair", "");
        printf("  %-18s %10.1f\n", "ExclusiveLock", Median(olvNs));
        printf("  %-18s %10.1f\n", "SRWLOCK", Median(srwNs));
        printf("  %-18s %10.1f\n", "CRITICAL_SECTION", Median(csNs));
        printf("  ExclusiveLock / CRITICAL_SECTION = %.2f (target <= 1.30): %s\n", ratioCs,
               ratioCs <= 1.30 ? "met" : "MISSED");
        printf("  ExclusiveLock / SRWLOCK          = %.2f (target <  1.00): %s\n\n", ratioSrw,
               ratioSrw < 1.0 ? "met" : "MISSED");
        fflush(stdout);
    }

    printf("two threads x %d increments\n", increments);
    fflush(stdout);
    {
        std::vector<double> olvMs, srwMs, csMs;
        bool broken = false;
        for (int r = 0; r < rounds; ++r) {
            olvMs.push_back(ContendedMs<OlvLock>(increments));
            srwMs.push_back(ContendedMs<SrwLock>(increments));
            csMs.push_back(ContendedMs<CriticalSection>(increments));
            broken = broken || olvMs.back() < 0 || srwMs.back() < 0 || csMs.back() < 0;
            printf("  round %2d: ExclusiveLock %8.1f ms, SRWLOCK %8.1f ms, CRITICAL_SECTION %8.1f ms\n", r + 1,
                   olvMs.back(), srwMs.back(), csMs.back());
            fflush(stdout);
        }
        if (broken) {
            printf("  a counter came out wrong: a lock is broken\n");
            return 2;
        }
        double olv = Median(olvMs);
        double srw = Median(srwMs);
        printf("  %-18s %10s %10s %10s\n", "lock", "median ms", "min ms", "max ms");
        printf("  %-18s %10.1f %10.1f %10.1f\n", "ExclusiveLock", olv, *std::min_element(olvMs.begin(), olvMs.end()),
               *std::max_element(olvMs.begin(), olvMs.end()));
        printf("  %-18s %10.1f %10.1f %10.1f\n", "SRWLOCK", srw, *std::min_element(srwMs.begin(), srwMs.end()),
               *std::max_element(srwMs.begin(), srwMs.end()));
        printf("  %-18s %10.1f %10.1f %10.1f\n", "CRITICAL_SECTION", Median(csMs),
               *std::min_element(csMs.begin(), csMs.end()), *std::max_element(csMs.begin(), csMs.end()));
        printf("  ExclusiveLock <= SRWLOCK (target): %s\n", olv <= srw ? "met" : "MISSED");
    }
    return 0;
}

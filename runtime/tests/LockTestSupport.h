// Helpers shared by the lock and worker tests.
#pragma once

#include "runtime/MultiProcessor.h"

#include <windows.h>

#include <atomic>
#include <functional>

// A manual-reset event owned for one test.
class TestEvent {
public:
    TestEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TestEvent() { CloseHandle(handle_); }
    TestEvent(const TestEvent&) = delete;
    TestEvent& operator=(const TestEvent&) = delete;
    HANDLE get() const { return handle_; }
    void Set() const { SetEvent(handle_); }
    // True when the event is signalled within `ms`.
    bool WaitFor(DWORD ms = 5000) const { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
    bool IsSet() const { return WaitFor(0); }

private:
    HANDLE handle_;
};

// A thread running one function; joined (with a generous time-out) on
// destruction.
class TestThread {
public:
    explicit TestThread(std::function<void()> body);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    // True when the thread ended within `ms`.
    bool Join(DWORD ms = 5000);
    HANDLE handle() const { return handle_; }

private:
    static DWORD WINAPI Entry(LPVOID self);
    std::function<void()> body_;
    HANDLE handle_;
};

inline TestThread::TestThread(std::function<void()> body) : body_(std::move(body))
{
    handle_ = CreateThread(nullptr, 0, Entry, this, 0, nullptr);
}

inline TestThread::~TestThread()
{
    WaitForSingleObject(handle_, 30000);
    CloseHandle(handle_);
}

inline bool TestThread::Join(DWORD ms)
{
    return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
}

inline DWORD WINAPI TestThread::Entry(LPVOID self)
{
    static_cast<TestThread*>(self)->body_();
    return 0;
}

// Polls `condition` (yielding) until it holds or `ms` have passed.
inline bool Eventually(const std::function<bool()>& condition, DWORD ms = 5000)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(0);
    }
    return true;
}

// Sets MultiProcessor for one scope; the locks read it on every acquire, so it
// is only switched while no other thread uses a lock.
class MultiProcessorOverride {
public:
    explicit MultiProcessorOverride(bool value) : saved_(MultiProcessor) { MultiProcessor = value; }
    ~MultiProcessorOverride() { MultiProcessor = saved_; }

private:
    bool saved_;
};

// Helpers shared by the lock, wait-event table and worker tests.
#pragma once

#include "base/ThreadQuery.h"
#include "runtime/MultiProcessor.h"
#include "runtime/WaitEventTable.h"
#include "base/NtApi.h"
#include "tests/support/WaitUntil.h"

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

// Runs `body` on a thread of its own and waits for that thread's end; then
// waits until the calling thread is the process's last one (an ended thread
// may still be listed for a moment after its handle is signalled, as seen
// under Wine on a loaded machine). For child scenarios that leave a lock held
// by a thread that has gone. False when the caller is not left alone.
inline bool RunOnThreadThatEnds(DWORD(WINAPI* body)(LPVOID))
{
    HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    if (thread == nullptr)
        return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return testsupport::WaitUntil(&IsLastThread);
}

// Empties the process's pool of wait events (closing what it held), so a test
// starts from an empty table whatever ran before.
inline void DrainPool()
{
    while (HANDLE event = ModuleWaitEventTable.TakeEvent())
        ZwClose(event);
}

inline bool IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

inline bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
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

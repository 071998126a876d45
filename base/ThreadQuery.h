// Low-level queries that the locks, the worker base, the wait-event table and
// the logger share. Nothing here logs, so the logger may use it freely.
#pragma once

// True when the calling thread is the only thread left in its process: nobody
// is left to release a lock it waits for. A failing query yields false.
bool IsLastThread() noexcept;

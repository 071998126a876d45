// Lock discipline the compiler checks: Clang's thread-safety analysis
// (-Wthread-safety) reads these annotations; every other compiler sees nothing.
//
//   on a lock type          OLV_CAPABILITY("mutex")  (or "shared mutex")
//   on a scoped holder      OLV_SCOPED_CAPABILITY
//   on a field              OLV_GUARDED_BY(lock)      the field itself
//                           OLV_PT_GUARDED_BY(lock)   what the pointer points to
//   on a lock (field or     OLV_ACQUIRED_AFTER(lock)  a thread that holds both took
//     global)                                         `lock` first
//                           OLV_ACQUIRED_BEFORE(lock) a thread that holds both took
//                                                     this one first
//                           (the order is checked with -Wthread-safety-beta)
//   on a function           OLV_REQUIRES(lock)        caller holds it
//                           OLV_REQUIRES_SHARED(lock) caller holds it, shared or more
//                           OLV_EXCLUDES(lock)        caller does not hold it (the
//                                                     function takes it itself)
//                           OLV_ACQUIRE / OLV_RELEASE (and _SHARED): the function
//                           takes or drops the lock for its caller; without an
//                           argument on a member, the object itself
//                           OLV_TRY_ACQUIRE(result, lock): held when it returns result
//                           OLV_NO_THREAD_SAFETY_ANALYSIS: the body is not checked
//                           (a lock's own implementation, state nobody else sees yet)
//   on an expression        OLV_TS_UNCHECKED_READ(field): a read without the lock
//                           that the design intends; say why in a comment beside it
//
// The analysis follows the locks a function takes within its own body and the
// annotations of what it calls; it does not look into constructors and
// destructors. scripts/thread-safety.sh runs it over every product source.
#pragma once

#if defined(__clang__)
#define OLV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OLV_THREAD_ANNOTATION(x)
#endif

#define OLV_CAPABILITY(kind) OLV_THREAD_ANNOTATION(capability(kind))
#define OLV_SCOPED_CAPABILITY OLV_THREAD_ANNOTATION(scoped_lockable)

#define OLV_GUARDED_BY(lock) OLV_THREAD_ANNOTATION(guarded_by(lock))
#define OLV_PT_GUARDED_BY(lock) OLV_THREAD_ANNOTATION(pt_guarded_by(lock))
#define OLV_ACQUIRED_AFTER(...) OLV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define OLV_ACQUIRED_BEFORE(...) OLV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

#define OLV_REQUIRES(...) OLV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OLV_REQUIRES_SHARED(...) OLV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define OLV_EXCLUDES(...) OLV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#define OLV_ACQUIRE(...) OLV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OLV_ACQUIRE_SHARED(...) OLV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define OLV_RELEASE(...) OLV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OLV_RELEASE_SHARED(...) OLV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define OLV_TRY_ACQUIRE(...) OLV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

#define OLV_NO_THREAD_SAFETY_ANALYSIS OLV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace thread_safety {

// The field itself, for a read the analysis is told not to check.
template <typename T>
inline const T& UncheckedRead(const T& field) OLV_NO_THREAD_SAFETY_ANALYSIS
{
    return field;
}

}  // namespace thread_safety

#define OLV_TS_UNCHECKED_READ(field) ::thread_safety::UncheckedRead(field)

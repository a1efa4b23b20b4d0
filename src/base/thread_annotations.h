// Lock annotations that clang checks with -Wthread-safety: which lock guards a field, which lock
// a function needs or takes. Under any other compiler they expand to nothing.
//
//   Mutex lock_;
//   int count_ GUARDED_BY(lock_);          // read or written only with lock_ held
//   void Add() REQUIRES(lock_);             // the caller holds lock_
//   void Drop() EXCLUDES(lock_);            // the caller must not hold lock_ (it takes it)
#pragma once

#if defined(__clang__)
#define PV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) PV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) PV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) PV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS PV_THREAD_ANNOTATION(no_thread_safety_analysis)

// Forced unwinding: how a thread is ended from inside by its C++ runtime.
#pragma once

#include <chrono>
#include <exception>
#include <thread>

// glibc's pthread_exit ends a thread by unwinding its stack with a forced
// unwind, which every catch-all must let pass (glibc aborts the process,
// "exception not rethrown", if one swallows it). The interpreter does this to
// a thread that takes its lock back during shutdown. libstdc++ names that
// unwind abi::__forced_unwind, and the catch sites catch it by type first and
// rethrow it. Runtimes whose threads end without unwinding (Apple's, MSVC's,
// musl's) never deliver one, and there the catch sites name a type that
// nothing throws: the same code is the plain path.
#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define VESK_HAS_FORCED_UNWIND 1
#else
#define VESK_HAS_FORCED_UNWIND 0
#endif

namespace vesk {

#if VESK_HAS_FORCED_UNWIND
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {
  ForcedUnwind() = delete;
};
#endif

// Inside a catch (...): whether the exception in hand is no C++ exception. A
// C++ exception in hand always has an exception_ptr, a foreign one never
// (no C++ runtime can hold it). Under libc++ on glibc that is how glibc's
// forced unwind arrives: libc++abi has no name for it, and it cannot pass it
// on either (its rethrow looks for a handler anew, finds none in the
// interpreter's frames and terminates the process).
inline bool foreign_exception_in_hand() noexcept {
  return std::current_exception() == nullptr;
}

// Where a forced unwind cannot be passed on, the thread stays where it is
// instead, never to run again; the interpreter does the same from Python 3.14
// on. It is ended with the process, which is exiting.
[[noreturn]] inline void park_thread_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace vesk

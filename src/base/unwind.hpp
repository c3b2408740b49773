// Forced unwinding: how a thread is ended from inside by its C++ runtime.
#pragma once

// Under libstdc++, glibc's pthread_exit ends a thread by unwinding its stack
// with abi::__forced_unwind, which every catch-all must let pass (the runtime
// aborts if one swallows it). The interpreter does this to a thread that takes
// its lock back during shutdown. Other runtimes (libc++, MSVC's) end threads
// without a C++ exception, so there the catch sites name a type that nothing
// throws and the same code compiles to the plain path.
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

}  // namespace vesk

// What differs between compilers and processors, named once: cache
// prefetches and the SSE2 block code. Everything else in the code is standard
// C++ and needs no test of its own.
#pragma once

// VESK_HAVE_SSE2: the 16-byte block tests of the text transforms may use
// SSE2 intrinsics. GCC and clang say so with __SSE2__; MSVC never defines it,
// but every x64 target and an x86 one built with /arch:SSE2 or above has it.
// Elsewhere (aarch64, say) the same tests run as portable loops.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define VESK_HAVE_SSE2 1
#else
#define VESK_HAVE_SSE2 0
#endif

// How a prefetch is asked for: GCC's builtin (clang has it too), else SSE's
// intrinsic (MSVC on x86), else not at all.
#if defined(__GNUC__) || defined(__clang__)
#define VESK_PREFETCH_GNU 1
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define VESK_PREFETCH_SSE 1
#endif

namespace vesk {

// Hints that `address` will soon be read (or written): a cache line fetched
// ahead of a loop that chases pointers. A hint only: a no-op where the
// compiler has none, and never a fault, whatever the address.
inline void prefetch(const void* address) noexcept {
#if defined(VESK_PREFETCH_GNU)
  __builtin_prefetch(address);
#elif defined(VESK_PREFETCH_SSE)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

inline void prefetch_for_write(const void* address) noexcept {
#if defined(VESK_PREFETCH_GNU)
  __builtin_prefetch(address, 1);
#else
  prefetch(address);
#endif
}

}  // namespace vesk

// Native work on long texts with the interpreter lock released.
#pragma once

#include <chrono>

#include "binding/error.hpp"

namespace vesk {

// Inputs shorter than this are converted with the lock held: releasing and
// taking back an uncontended lock costs about as much as converting a few
// hundred bytes, and when another thread runs Python code, taking it back can
// wait for a whole switch interval (5 ms by default).
inline constexpr std::size_t kReleaseLockBytes = std::size_t{1} << 16;

// Releases the interpreter lock for its lifetime and takes it back when it
// goes, also when a C++ exception leaves the scope, so that nothing reaches
// the call boundary without the lock.
//
// While it is released, the work may touch no Python object except (1) the
// UTF-8 bytes of an argument `str`: a str is immutable, the caller keeps the
// argument alive for the whole call, and its UTF-8 form, once made, lives as
// long as the str; and (2) the character data of a result `str` created
// before the release and not yet handed out: no other thread holds a
// reference to it, and a str is not tracked by the garbage collector, so not
// even gc.get_objects() can reach it. Creating, resizing or releasing any
// object, and every other C API call, wait for the lock.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()), last_check_(Clock::now()) {}
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Called between chunks of the work. At most once per kCheckInterval it
  // takes the lock back, runs the signal handlers (which only the main thread
  // does) and releases the lock again. What a handler raises
  // (KeyboardInterrupt) is thrown as Propagated, with the lock held.
  void poll() {
    if (Clock::now() - last_check_ < kCheckInterval) return;
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    if (Status checked = check_signals(); !checked) throw Propagated(std::move(checked).error());
    state_ = PyEval_SaveThread();
    last_check_ = Clock::now();
  }

  // `poll` as a plain function, for pure code that takes a hook.
  static void poll_hook(void* self) { static_cast<Unlocked*>(self)->poll(); }

 private:
  using Clock = std::chrono::steady_clock;
  // Ctrl-C is seen within about this long. Taking the lock back can wait for
  // a switch interval while another thread runs Python code, so the checks
  // cost at most a few percent even then.
  static constexpr std::chrono::milliseconds kCheckInterval{100};

  PyThreadState* state_;
  Clock::time_point last_check_;
};

}  // namespace vesk

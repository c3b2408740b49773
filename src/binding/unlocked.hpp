// Native work on long texts with the interpreter lock released.
#pragma once

#include <chrono>
#include <exception>
#include <type_traits>
#include <utility>

#include "base/unwind.hpp"
#include "binding/error.hpp"

namespace vesk {

// Inputs shorter than this are converted with the lock held: releasing and
// taking back an uncontended lock costs about as much as converting a few
// hundred bytes, and when another thread runs Python code, taking it back can
// wait for a whole switch interval (5 ms by default).
inline constexpr std::size_t kReleaseLockBytes = std::size_t{1} << 16;

// When one call last ran the signal handlers. A call that releases the lock
// more than once shares one clock between its stretches, so that Ctrl-C is
// seen within kCheckInterval of the call's start or its last check, however
// the call splits its work.
class SignalClock {
 public:
  // Ctrl-C is seen within about this long. Taking the lock back can wait for
  // a switch interval while another thread runs Python code, so the checks
  // cost at most a few percent even then.
  static constexpr std::chrono::milliseconds kCheckInterval{100};

  SignalClock() : last_check_(Clock::now()) {}
  [[nodiscard]] bool due() const { return Clock::now() - last_check_ >= kCheckInterval; }
  void checked() { last_check_ = Clock::now(); }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_check_;
};

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
//
// Interpreter shutdown: once it has begun, a thread other than the one
// shutting down that takes the lock back never gets it. Before 3.14 the
// interpreter ends such a thread by pthread_exit, which unwinds its stack
// with a forced unwind (base/unwind.hpp); 3.14 and later leave it waiting
// until the process ends, which needs nothing of this code. The unwind must
// pass through every frame up to the interpreter: the destructor may throw
// it, and no frame between here and the call boundary may be noexcept or
// swallow it.
// A destructor that runs while another exception is already unwinding the
// stack cannot let it pass (the runtime then calls std::terminate), so work
// that may throw runs through `run`, which takes the lock back in ordinary
// control flow before it rethrows.
class Unlocked {
 public:
  Unlocked() : Unlocked(own_clock_) {}
  explicit Unlocked(SignalClock& clock) : clock_(&clock), state_(PyEval_SaveThread()) {}
  ~Unlocked() noexcept(false) { relock(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs `work()` with the lock released and returns its result once the
  // lock is held again. Anything the work throws is held until the lock is
  // back and then rethrown, so the lock is never taken back during an
  // unwind. Work that starts native worker threads runs here whole, their
  // joins included (in destructors too): the workers never wait for a
  // thread that waits for the lock, and a failure is rethrown with the lock
  // held. Once `run` returns, the lock stays held until this guard goes.
  template <class Work>
  std::invoke_result_t<Work&> run(Work&& work) {
    std::exception_ptr thrown;
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
        work();
        relock();
        return;
      } else {
        std::invoke_result_t<Work&> result = work();
        relock();
        return result;
      }
    } catch (ForcedUnwind&) {
      throw;  // the thread is being ended inside poll or relock: let it go
    } catch (...) {
      thrown = std::current_exception();
    }
    relock();
    std::rethrow_exception(thrown);
  }

  // Called between chunks of the work. At most once per kCheckInterval of
  // the call it takes the lock back, runs the signal handlers (which only
  // the main thread does) and releases the lock again. What a handler raises
  // (KeyboardInterrupt) is thrown as Propagated, with the lock held.
  void poll() {
    if (state_ == nullptr || !clock_->due()) return;
    relock();
    Status checked = check_signals();
    clock_->checked();
    if (!checked) throw Propagated(std::move(checked).error());
    state_ = PyEval_SaveThread();
  }

  // `poll` as a plain function, for pure code that takes a hook.
  static void poll_hook(void* self) { static_cast<Unlocked*>(self)->poll(); }

 private:
  // Takes the lock back if it is released. The state is cleared first: when
  // the thread is ended inside PyEval_RestoreThread, the unwind must not try
  // again from the destructor; and the thread is marked, so that the
  // references released by the unwind are left alone (binding/ref.hpp).
  void relock() {
    PyThreadState* const state = std::exchange(state_, nullptr);
    if (state == nullptr) return;
    try {
      PyEval_RestoreThread(state);
    } catch (ForcedUnwind&) {
      lost_lock::mark();
      throw;
    } catch (...) {
      // The same end under libc++, which cannot pass this unwind through the
      // catch-alls above: the thread stops here, its references untouched.
      if (foreign_exception_in_hand()) park_thread_forever();
      throw;
    }
  }

  SignalClock own_clock_;
  SignalClock* clock_;
  PyThreadState* state_;
};

}  // namespace vesk

// A hook that long pure loops (text transforms, number scans, column tasks)
// call between chunks of their input.
#pragma once

#include <cstddef>

namespace vesk {

// Lets the caller of a long transform look up from it now and then (to notice
// an interruption, say). The transform calls it about every kPollBytes of
// input; the hook ends the transform by throwing, and the transform only
// unwinds. A default Poll does nothing.
class Poll {
 public:
  using Hook = void (*)(void* context);
  constexpr Poll() noexcept = default;
  constexpr Poll(Hook hook, void* context) noexcept : hook_(hook), context_(context) {}
  void operator()() const {
    if (hook_ != nullptr) hook_(context_);
  }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
};

// 1 MiB: a few milliseconds of work on the slowest path, so the hook is asked
// often enough without costing anything measurable.
inline constexpr std::size_t kPollBytes = std::size_t{1} << 20;

}  // namespace vesk

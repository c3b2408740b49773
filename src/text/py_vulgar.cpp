// sanitize_vulgar_string: Python glue over text/vulgar.hpp.
//
// The result is written once, in one piece: straight into the result str when
// it is known to be ASCII (no non-ASCII character but the fractions, which all
// become ASCII), else into one UTF-8 buffer that the str is then decoded
// from. Each is allocated at an upper bound and only the written part is ever
// touched, so the memory a call needs beyond its result is at most one more
// copy of it, however many fractions the text holds.
#include <array>
#include <memory>
#include <string_view>

#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "binding/unlocked.hpp"
#include "text/py_text.hpp"
#include "text/vulgar.hpp"

namespace vesk::text {
namespace {

// Short texts: sanitised on the stack and copied into the result.
Ref sanitized_short(std::string_view text, const FractionCensus& census) {
  const std::size_t bound = sanitized_bound(text, census);
  std::array<char, 1024> stack;
  std::unique_ptr<char[]> heap;
  char* out = stack.data();
  if (bound > stack.size()) out = (heap = std::make_unique_for_overwrite<char[]>(bound)).get();
  return new_text({out, sanitize_vulgar_into(text, {out, bound})});
}

// Long texts: the work runs with the interpreter lock released, in two
// stretches that share one signal clock.
Ref sanitized_long(PyObject* argument, std::string_view text) {
  SignalClock clock;
  FractionCensus census;
  {
    Unlocked unlocked(clock);
    census = unlocked.run(
        [&] { return take_fraction_census(text, Poll(&Unlocked::poll_hook, &unlocked)); });
  }
  if (census.fractions == 0) return text_copy(argument);
  const std::size_t bound = sanitized_bound(text, census);
  if (!census.other_non_ascii) {
    Ref result = new_ascii(bound);
    Unlocked unlocked(clock);
    const std::size_t length = unlocked.run([&] {
      return sanitize_vulgar_into(text, {ascii_data(result), bound},
                                  Poll(&Unlocked::poll_hook, &unlocked));
    });
    return shortened(std::move(result), length);
  }
  const auto buffer = std::make_unique_for_overwrite<char[]>(bound);
  Unlocked unlocked(clock);
  const std::size_t length = unlocked.run([&] {
    return sanitize_vulgar_into(text, {buffer.get(), bound}, Poll(&Unlocked::poll_hook, &unlocked));
  });
  return new_text({buffer.get(), length});
}

}  // namespace

Result<Ref> sanitize_vulgar_string_body(BoundArgs& args) {
  Result<Utf8Text> s = argument("s", to_utf8_text(args[0]));
  if (!s) return fail(std::move(s).error());
  const std::string_view text = *s;
  try {
    if (text.size() >= kReleaseLockBytes) return sanitized_long(args[0], text);
    const FractionCensus census = take_fraction_census(text);
    // Always a new object, even when nothing changed.
    if (census.fractions == 0) return new_text(text);
    return sanitized_short(text, census);
  } catch (const SanitizeFailure& broken) {
    internal_failure(broken.what());
  }
}

}  // namespace vesk::text

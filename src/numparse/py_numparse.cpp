#include "numparse/py_numparse.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "binding/unlocked.hpp"
#include "numparse/numparse.hpp"

namespace vesk::numparse {
namespace {

// Runs `work` on the text, with the interpreter lock released when the text is
// long (see binding/unlocked.hpp); the results are native values, turned into
// Python objects only once the lock is held again. The work's scans call the
// poll hook, so Ctrl-C ends a long call.
template <class Work>
auto on_text(std::string_view text, Work&& work) {
  if (text.size() < kReleaseLockBytes) return work(text, Poll());
  Unlocked unlocked;
  return unlocked.run([&] { return work(text, Poll(&Unlocked::poll_hook, &unlocked)); });
}

}  // namespace

Result<Ref> parse_body(BoundArgs& args) {
  Result<Utf8Text> text = argument("s", to_utf8_text(args[0]));
  if (!text) return fail(std::move(text).error());
  const ParsedNumber number =
      on_text(*text, [](std::string_view s, const Poll& poll) { return parse_number(s, poll); });
  if (const auto* integer = std::get_if<std::int64_t>(&number)) return new_int(*integer);
  if (const auto* real = std::get_if<double>(&number)) return new_float(*real);
  return new_none();
}

Result<Ref> normalize_numeric_str_body(BoundArgs& args) {
  Result<Utf8Text> text = argument("s", to_utf8_text(args[0]));
  if (!text) return fail(std::move(text).error());
  const std::optional<std::string> normalized = on_text(
      *text,
      [](std::string_view s, const Poll& poll) { return strip_numeric_formatting(s, poll); });
  if (!normalized) return new_none();
  return new_text(*normalized);
}

}  // namespace vesk::numparse

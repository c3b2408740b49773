// sanitize_vulgar_string: Python glue over text/vulgar.hpp.
#include <string>
#include <string_view>

#include "binding/build.hpp"
#include "binding/convert.hpp"
#include "text/py_text.hpp"
#include "text/vulgar.hpp"

namespace vesk::text {

Result<Ref> sanitize_vulgar_string_body(BoundArgs& args) {
  Result<std::string_view> s = argument("s", to_text_view(args[0]));
  if (!s) return fail(std::move(s).error());
  std::string sanitized;
  try {
    sanitized = sanitize_vulgar(*s);
  } catch (const FractionPatternError& broken) {
    internal_failure(broken.what());
  }
  // Always a new object, even when nothing changed.
  return new_text(sanitized);
}

}  // namespace vesk::text

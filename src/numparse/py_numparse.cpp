#include "numparse/py_numparse.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/build.hpp"
#include "binding/convert.hpp"
#include "numparse/numparse.hpp"

namespace vesk::numparse {

Result<Ref> parse_body(BoundArgs& args) {
  Result<std::string_view> text = argument("s", to_text_view(args[0]));
  if (!text) return fail(std::move(text).error());
  const ParsedNumber number = parse_number(*text);
  if (const auto* integer = std::get_if<std::int64_t>(&number)) return new_int(*integer);
  if (const auto* real = std::get_if<double>(&number)) return new_float(*real);
  return new_none();
}

Result<Ref> normalize_numeric_str_body(BoundArgs& args) {
  Result<std::string_view> text = argument("s", to_text_view(args[0]));
  if (!text) return fail(std::move(text).error());
  const std::optional<std::string> normalized = strip_numeric_formatting(*text);
  if (!normalized) return new_none();
  return new_text(*normalized);
}

}  // namespace vesk::numparse

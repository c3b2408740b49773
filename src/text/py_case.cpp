// Python glue of uncamel and underscore_to_camelcase.
#include <cstring>
#include <span>

#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "binding/unlocked.hpp"
#include "text/case.hpp"
#include "text/py_text.hpp"

namespace vesk::text {

namespace {

// ASCII text gives ASCII text, so the result str of an ASCII argument is
// created up front and written in place, with no intermediate buffer: at its
// exact length for underscore_to_camelcase, at an upper bound that is then
// trimmed for uncamel. A short text is transformed on the stack instead and
// copied, which costs less than finding the length or trimming.
constexpr std::size_t kShortText = 256;

// A new str holding `ascii`.
Ref ascii_copy(std::string_view ascii) {
  if (ascii.empty()) return new_text({});
  Ref result = new_ascii(ascii.size());
  std::memcpy(ascii_data(result), ascii.data(), ascii.size());
  return result;
}

// A str holding `cps`, which are already in the form the interpreter uses
// for them: the narrowest that holds the widest.
Ref code_points_result(const CodePoints& cps) {
  const Py_UCS4 maxchar = cps.width() == 4    ? 0x10FFFF
                          : cps.width() == 2  ? 0xFFFF
                          : cps.bits() < 0x80 ? 0x7F
                                              : 0xFF;
  Ref result = created(PyUnicode_New(static_cast<Py_ssize_t>(cps.size()), maxchar));
  std::memcpy(PyUnicode_DATA(result.get()), cps.data(),
              cps.size() * static_cast<std::size_t>(cps.width()));
  return result;
}

// Long texts are converted with the interpreter lock released (see
// binding/unlocked.hpp for what that allows). An ASCII result is created
// first, at a bound that needs no pass over the text (uncamel writes at most
// two bytes per input byte, underscore_to_camelcase at most one), written in
// place, then cut to its length; only the written part of it is ever
// touched.
template <class WriteAscii>
Ref long_ascii_result(std::size_t bound, WriteAscii&& write) {
  Ref result = new_ascii(bound);
  Unlocked unlocked;
  const std::size_t length = unlocked.run([&] {
    return write({ascii_data(result), bound}, Poll(&Unlocked::poll_hook, &unlocked));
  });
  return length == bound ? std::move(result) : shortened(std::move(result), length);
}

// The argument's UTF-8 bytes are let go as soon as they are read, so that the
// result is made beside the code points alone.
template <class Transform>
Ref long_result(Utf8Text& argument, Transform&& transform, std::size_t reserve) {
  CodePoints out;
  Unlocked unlocked;
  unlocked.run([&] {
    out.reserve(reserve);
    transform(out, Poll(&Unlocked::poll_hook, &unlocked));
  });
  argument.release();
  return code_points_result(out);
}

}  // namespace

Result<Ref> uncamel_body(BoundArgs& args) {
  Result<Utf8Text> camel = argument("camel", to_utf8_text(args[0]));
  if (!camel) return fail(std::move(camel).error());
  const std::string_view text = *camel;
  // Never shorter than the input; a little room for the underscores.
  const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(args[0]));
  const std::size_t reserve = size + size / 8 + 8;
  if (PyUnicode_IS_ASCII(args[0])) {
    if (text.empty()) return new_text({});
    if (text.size() <= kShortText) {
      char buffer[2 * kShortText + kAsciiOutputSlack];
      return ascii_copy({buffer, uncamel_ascii(text, buffer)});
    }
    if (text.size() >= kReleaseLockBytes) {
      return long_ascii_result(2 * text.size(), [text](std::span<char> out, const Poll& poll) {
        return uncamel_ascii(text, out, poll);
      });
    }
    const std::size_t bound = uncamel_ascii_bound(text);
    Ref result = new_ascii(bound);
    const std::size_t length = uncamel_ascii(text, {ascii_data(result), bound});
    return length == bound ? std::move(result) : shortened(std::move(result), length);
  }
  if (text.size() >= kReleaseLockBytes) {
    return long_result(
        *camel, [text](CodePoints& out, const Poll& poll) { uncamel(text, out, poll); }, reserve);
  }
  CodePoints out;
  out.reserve(reserve);
  uncamel(text, out);
  return code_points_result(out);
}

Result<Ref> underscore_to_camelcase_body(BoundArgs& args) {
  Result<Utf8Text> s = argument("s", to_utf8_text(args[0]));
  if (!s) return fail(std::move(s).error());
  const std::string_view text = *s;
  if (PyUnicode_IS_ASCII(args[0])) {
    if (text.size() <= kShortText) {
      char buffer[kShortText + kAsciiOutputSlack];
      return ascii_copy({buffer, underscore_to_camelcase_ascii(text, buffer)});
    }
    if (text.size() >= kReleaseLockBytes) {
      return long_ascii_result(text.size(), [text](std::span<char> out, const Poll& poll) {
        return underscore_to_camelcase_ascii(text, out, poll);
      });
    }
    const std::size_t length = underscore_to_camelcase_ascii_length(text);
    Ref result = new_ascii(length);
    underscore_to_camelcase_ascii(text, {ascii_data(result), length});
    return result;
  }
  const auto reserve = static_cast<std::size_t>(PyUnicode_GET_LENGTH(args[0]));
  if (text.size() >= kReleaseLockBytes) {
    return long_result(
        *s, [text](CodePoints& out, const Poll& poll) { underscore_to_camelcase(text, out, poll); },
        reserve);
  }
  CodePoints out;
  out.reserve(reserve);
  underscore_to_camelcase(text, out);
  return code_points_result(out);
}

}  // namespace vesk::text

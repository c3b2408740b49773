// Case transforms of identifiers: camelCase to snake_case and back.
//
// Both work on valid UTF-8 (the interpreter's encoding of a `str`) and use the
// default Unicode 17.0 case rules of text/unicode.hpp, with no locale or
// context rules.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/poll.hpp"
#include "text/code_points.hpp"

namespace vesk::text {

// camelCase / PascalCase to snake_case: every uppercase code point is
// lower-cased, and gets an underscore before it when the code point before it
// is lowercase or an ASCII digit, or when it ends a run of capitals that a
// lowercase code point follows ("getHTTPResponseCode" -> "get_http_response_code").
// Everything that is not uppercase is copied unchanged.
std::string uncamel(std::string_view utf8);

// underscore_delimited to camelCase: underscores are dropped, the code point
// after a run of them is upper-cased (unless nothing has been written yet),
// and every other code point is lower-cased ("_foo_BAR" -> "fooBar").
std::string underscore_to_camelcase(std::string_view utf8);

// The transforms of any valid UTF-8 text, appended to `out` as code points.
// Both call `poll` between chunks of the input (as do the ASCII writers).
void uncamel(std::string_view utf8, CodePoints& out, const Poll& poll = {});
void underscore_to_camelcase(std::string_view utf8, CodePoints& out, const Poll& poll = {});

// The same transforms for pure-ASCII input, whose output is ASCII too, so
// that a caller can create its result up front and have it written in
// place. The writers return the length of the output; they may store junk
// after it, but never past the end of `out`.

// Room past the output that spares the writers a staging copy at the end.
inline constexpr std::size_t kAsciiOutputSlack = 112;

// Room that uncamel_ascii needs: the input size plus one byte per capital
// (twice the input size always is enough).
std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept;
std::size_t uncamel_ascii(std::string_view ascii, std::span<char> out, const Poll& poll = {});

// Exact length of underscore_to_camelcase(ascii): the input size minus its
// underscores. That is all the room the writer needs.
std::size_t underscore_to_camelcase_ascii_length(std::string_view ascii) noexcept;
std::size_t underscore_to_camelcase_ascii(std::string_view ascii, std::span<char> out,
                                          const Poll& poll = {});

}  // namespace vesk::text

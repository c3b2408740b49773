// Case transforms of identifiers: camelCase to snake_case and back.
//
// Both work on valid UTF-8 (the interpreter's encoding of a `str`) and use the
// default Unicode 17.0 case rules of text/unicode.hpp, with no locale or
// context rules.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The same transforms for pure-ASCII input, written into a buffer the caller
// provides, so that a caller can build its result in place instead of copying
// a large intermediate string. ASCII input gives ASCII output.

// Room that uncamel_ascii needs: the input size plus one byte per capital.
std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept;

// Writes uncamel(ascii) to `out` (room for uncamel_ascii_bound(ascii) bytes);
// returns the number of bytes written.
std::size_t uncamel_ascii(std::string_view ascii, char* out) noexcept;

// Writes underscore_to_camelcase(ascii) to `out` (room for ascii.size()
// bytes: the output is never longer); returns the number of bytes written.
std::size_t underscore_to_camelcase_ascii(std::string_view ascii, char* out) noexcept;

}  // namespace vesk::text

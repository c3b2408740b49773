// The string forms of the case transforms: ASCII text takes the block-wise
// writers (text/case_ascii.cpp), anything else the code-point path
// (text/case_utf8.cpp).
#include "text/case.hpp"

#include "text/ascii_block.hpp"
#include "text/utf8.hpp"

namespace vesk::text {

namespace {

std::string to_utf8(const CodePoints& cps) {
  std::string out;
  out.reserve(cps.size());
  for (std::size_t i = 0; i < cps.size(); ++i) append_utf8(out, cps[i]);
  return out;
}

}  // namespace

std::string uncamel(std::string_view utf8) {
  if (ascii_block::all_ascii(utf8)) {
    std::string result(uncamel_ascii_bound(utf8), '\0');
    result.resize(uncamel_ascii(utf8, result));
    return result;
  }
  CodePoints out;
  uncamel(utf8, out);
  return to_utf8(out);
}

std::string underscore_to_camelcase(std::string_view utf8) {
  if (ascii_block::all_ascii(utf8)) {
    std::string result(underscore_to_camelcase_ascii_length(utf8), '\0');
    underscore_to_camelcase_ascii(utf8, result);
    return result;
  }
  CodePoints out;
  underscore_to_camelcase(utf8, out);
  return to_utf8(out);
}

}  // namespace vesk::text

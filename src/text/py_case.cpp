// Python glue of uncamel and underscore_to_camelcase.
#include "binding/build.hpp"
#include "binding/convert.hpp"
#include "text/case.hpp"
#include "text/py_text.hpp"

namespace vesk::text {

namespace {

// ASCII text gives ASCII text, so for an ASCII argument the result str is
// allocated at an upper bound and written in place, then trimmed: one large
// allocation instead of an intermediate buffer plus a copy. On big texts the
// second allocation (fresh pages from the system each call) cost more than
// the transform itself.
template <class Write>
Ref ascii_result(std::size_t bound, Write write) {
  if (bound == 0) return new_text({});
  Ref result = created(PyUnicode_New(static_cast<Py_ssize_t>(bound), 127));
  const std::size_t written = write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get())));
  if (written == bound) return result;
  if (written == 0) return new_text({});
  PyObject* resized = result.release();
  // Shrinking a str nobody else has seen yet; a failure leaves it untouched.
  if (PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(written)) < 0) {
    Py_DECREF(resized);
    return created(nullptr);
  }
  return Ref::steal(resized);
}

}  // namespace

Result<Ref> uncamel_body(BoundArgs& args) {
  Result<std::string_view> camel = argument("camel", to_text_view(args[0]));
  if (!camel) return fail(std::move(camel).error());
  if (PyUnicode_IS_ASCII(args[0])) {
    const std::string_view text = *camel;
    return ascii_result(uncamel_ascii_bound(text),
                        [text](char* out) { return uncamel_ascii(text, out); });
  }
  return new_text(uncamel(*camel));
}

Result<Ref> underscore_to_camelcase_body(BoundArgs& args) {
  Result<std::string_view> s = argument("s", to_text_view(args[0]));
  if (!s) return fail(std::move(s).error());
  if (PyUnicode_IS_ASCII(args[0])) {
    const std::string_view text = *s;
    return ascii_result(text.size(),
                        [text](char* out) { return underscore_to_camelcase_ascii(text, out); });
  }
  return new_text(underscore_to_camelcase(*s));
}

}  // namespace vesk::text

#include "binding/panic_type.hpp"

#include <string>

#include "binding/once.hpp"
#include "binding/render.hpp"

namespace vesk {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code of _vesk called from Python fails with an internal "
    "failure.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

}  // namespace

PyObject* panic_exception_type() {
  static ProcessCell cell;
  Result<PyObject*> type = cell.get([]() -> Result<Ref> {
    constexpr const char* kName = "pyo3_runtime.PanicException";
    static_assert(
        std::char_traits<char>::length(kName) == sizeof("pyo3_runtime.PanicException") - 1,
        "the exception name must not contain a NUL byte");
    PyObject* made = PyErr_NewExceptionWithDoc(kName, kPanicDoc, PyExc_BaseException, nullptr);
    if (!made) {
      // Taken out directly: Error::fetch would look for this very type again.
      PyObject* type = nullptr;
      PyObject* value = nullptr;
      PyObject* traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      PyErr_NormalizeException(&type, &value, &traceback);
      const Ref owned_type = Ref::steal(type);
      const Ref owned_value = Ref::steal(value);
      const Ref owned_traceback = Ref::steal(traceback);
      std::string detail;
      if (owned_value) detail = concat(": ", render_text(owned_value.get()));
      internal_failure(concat("Failed to initialize new exception type.", detail));
    }
    return Ref::steal(made);
  });
  // The initialiser either fills the cell or throws.
  return *type;
}

}  // namespace vesk

#include "binding/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/build.hpp"
#include "binding/once.hpp"

namespace vesk {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code of _vesk called from Python fails with an internal "
    "failure.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

// Source paths are long absolute build paths; the part from "src/" on is what a
// reader of the diagnostic needs.
const char* short_path(const char* path) {
  const char* found = std::strstr(path, "src/");
  return found ? found : path;
}

// UTF-8 of a str, lone surrogates replaced by U+FFFD (one per ill-formed byte
// sequence of their "surrogatepass" encoding).
std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  Ref decoded = Ref::steal(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  if (!decoded || !(PyUnicode_AsUTF8AndSize(decoded.get(), &size))) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyUnicode_AsUTF8AndSize(decoded.get(), &size), static_cast<std::size_t>(size));
}

// The type name shown in a failed type check.
std::string qualname_of(PyObject* type) {
  Ref name = Ref::steal(PyObject_GetAttr(type, interned(Name::Qualname)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_utf8(name.get());
}

std::string type_check_message(PyObject* object, PyObject* required_type) {
  std::string required = qualname_of(required_type);
  if (object == Py_None) return concat("'None' is not an instance of '", required, "'");
  // Held: the lookup can run Python code that reassigns object.__class__.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return concat("'", qualname_of(type.get()), "' object is not an instance of '", required, "'");
}

// A PanicException raised by this module came back through Python code: show
// its Python traceback, then go on failing with its message.
[[noreturn]] void resume_panic(Ref type, Ref value, Ref traceback) {
  std::string message = "Unwrapped panic from Python code";
  if (Ref text = Ref::steal(PyObject_Str(value.get()))) {
    message = lossy_utf8(text.get());
  } else {
    PyErr_Clear();
  }
  std::fputs("_vesk: resuming an internal failure: a PanicException was fetched from Python\n",
             stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  internal_failure(std::move(message));
}

}  // namespace

void internal_failure(std::string message, std::source_location where) {
  std::fprintf(stderr, "_vesk: internal failure at %s:%u:%u:\n%s\n", short_path(where.file_name()),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  throw InternalFailure(std::move(message));
}

void abort_at_boundary(std::string_view message) noexcept {
  std::fprintf(stderr, "_vesk: uncaught panic at ffi boundary: %.*s\n",
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

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

std::string render_text(PyObject* object) {
  if (Ref text = Ref::steal(PyObject_Str(object))) return lossy_utf8(text.get());
  PyErr_WriteUnraisable(object);
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  Ref name = Ref::steal(PyObject_GetAttr(type.get(), interned(Name::Name)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return concat("<unprintable ", lossy_utf8(name.get()), " object>");
}

Error Error::type_error(std::string message) {
  return Error(Kind::TypeError, std::move(message));
}
Error Error::value_error(std::string message) {
  return Error(Kind::ValueError, std::move(message));
}
Error Error::system_error(std::string message) {
  return Error(Kind::SystemError, std::move(message));
}
Error Error::panic(std::string message) {
  return Error(Kind::Panic, std::move(message));
}
Error Error::type_check(PyObject* object, PyObject* required_type) {
  return Error(Kind::TypeCheck, Ref::borrow(object), Ref::borrow(required_type), Ref());
}

Error Error::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return system_error("attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  if (!owned_value) internal_failure("normalized exception value missing");
  if (reinterpret_cast<PyObject*>(Py_TYPE(owned_value.get())) == panic_exception_type()) {
    resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
  }
  return Error(Kind::Captured, std::move(owned_type), std::move(owned_value),
               std::move(owned_traceback));
}

bool Error::matches(PyObject* exc_type) const {
  switch (data_->kind) {
    case Kind::Captured:
      return PyErr_GivenExceptionMatches(data_->first.get(), exc_type) != 0;
    case Kind::TypeError:
    case Kind::TypeCheck:
      return PyErr_GivenExceptionMatches(PyExc_TypeError, exc_type) != 0;
    case Kind::ValueError:
      return PyErr_GivenExceptionMatches(PyExc_ValueError, exc_type) != 0;
    case Kind::SystemError:
      return PyErr_GivenExceptionMatches(PyExc_SystemError, exc_type) != 0;
    case Kind::Panic:
      return PyErr_GivenExceptionMatches(panic_exception_type(), exc_type) != 0;
  }
  return false;
}

void Error::raise_lazy() {
  Ref type;
  Ref argument;
  switch (data_->kind) {
    case Kind::TypeError:
      type = Ref::borrow(PyExc_TypeError);
      argument = new_text(data_->message);
      break;
    case Kind::ValueError:
      type = Ref::borrow(PyExc_ValueError);
      argument = new_text(data_->message);
      break;
    case Kind::SystemError:
      type = Ref::borrow(PyExc_SystemError);
      argument = new_text(data_->message);
      break;
    case Kind::TypeCheck:
      type = Ref::borrow(PyExc_TypeError);
      argument = new_text(type_check_message(data_->first.get(), data_->second.get()));
      break;
    case Kind::Panic: {
      type = Ref::borrow(panic_exception_type());
      Ref text = new_text(data_->message);
      argument = created(PyTuple_New(1));
      PyTuple_SET_ITEM(argument.get(), 0, text.release());
      break;
    }
    case Kind::Captured:
      return;
  }
  PyErr_SetObject(type.get(), argument.get());
  type.reset();
  argument.reset();
  PyObject* raised_type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&raised_type, &value, &traceback);
  PyErr_NormalizeException(&raised_type, &value, &traceback);
  PyErr_Restore(raised_type, value, traceback);
}

Ref Error::instance() {
  if (data_->kind != Kind::Captured) {
    raise_lazy();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    *this = Error(Kind::Captured, Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
    data_->message.clear();
  }
  return Ref::borrow(data_->second.get());
}

void Error::restore() && {
  if (data_->kind == Kind::Captured) {
    PyErr_Restore(data_->first.release(), data_->second.release(), data_->third.release());
  } else {
    raise_lazy();
  }
}

bool is_discardable(const Error& error) {
  return error.matches(PyExc_Exception);
}

void discard(Error error) {
  if (!is_discardable(error)) throw Propagated(std::move(error));
}

void discard_pending_exception() {
  discard(Error::fetch());
}

Status check_signals() {
  if (PyErr_CheckSignals() < 0) return fail_fetched();
  return {};
}

}  // namespace vesk

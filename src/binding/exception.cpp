// The error value and the interpreter's exceptions: taking a pending
// exception out as a value, raising a value, matching it against a type, and
// discarding it. Declared in error.hpp; defined here, above everything it
// needs (the builders, the rendering of messages, the panic type).
#include <cstdio>

#include "binding/error.hpp"
#include "binding/panic_type.hpp"
#include "binding/render.hpp"
#include "binding/to_python.hpp"

namespace vesk {
namespace {

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

// Whether an error value may be dropped: only instances of Exception may.
bool is_discardable(const Error& error) {
  return error.matches(PyExc_Exception);
}

}  // namespace

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
  return Error(Captured{std::move(owned_type), std::move(owned_value), std::move(owned_traceback)});
}

bool Error::matches(PyObject* exc_type) const {
  if (const auto* captured = std::get_if<Captured>(data_.get())) {
    return PyErr_GivenExceptionMatches(captured->type.get(), exc_type) != 0;
  }
  if (std::holds_alternative<TypeCheck>(*data_)) {
    return PyErr_GivenExceptionMatches(PyExc_TypeError, exc_type) != 0;
  }
  switch (std::get<Message>(*data_).kind) {
    case Kind::TypeError:
      return PyErr_GivenExceptionMatches(PyExc_TypeError, exc_type) != 0;
    case Kind::ValueError:
      return PyErr_GivenExceptionMatches(PyExc_ValueError, exc_type) != 0;
    case Kind::SystemError:
      return PyErr_GivenExceptionMatches(PyExc_SystemError, exc_type) != 0;
    case Kind::RuntimeError:
      return PyErr_GivenExceptionMatches(PyExc_RuntimeError, exc_type) != 0;
    case Kind::Panic:
      return PyErr_GivenExceptionMatches(panic_exception_type(), exc_type) != 0;
  }
  return false;
}

void Error::raise_lazy() {
  Ref type;
  Ref argument;
  if (std::holds_alternative<Captured>(*data_)) return;
  if (const auto* check = std::get_if<TypeCheck>(data_.get())) {
    type = Ref::borrow(PyExc_TypeError);
    argument = new_text(type_check_message(check->object.get(), check->required_type.get()));
  } else {
    const Message& message = std::get<Message>(*data_);
    switch (message.kind) {
      case Kind::TypeError:
        type = Ref::borrow(PyExc_TypeError);
        argument = new_text(message.text);
        break;
      case Kind::ValueError:
        type = Ref::borrow(PyExc_ValueError);
        argument = new_text(message.text);
        break;
      case Kind::SystemError:
        type = Ref::borrow(PyExc_SystemError);
        argument = new_text(message.text);
        break;
      case Kind::RuntimeError:
        type = Ref::borrow(PyExc_RuntimeError);
        argument = new_text(message.text);
        break;
      case Kind::Panic: {
        type = Ref::borrow(panic_exception_type());
        Ref text = new_text(message.text);
        argument = created(PyTuple_New(1));
        PyTuple_SET_ITEM(argument.get(), 0, text.release());
        break;
      }
    }
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
  if (!std::holds_alternative<Captured>(*data_)) {
    raise_lazy();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    *this = Error(Captured{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
  }
  return Ref::borrow(std::get<Captured>(*data_).instance.get());
}

void Error::restore() && {
  if (auto* captured = std::get_if<Captured>(data_.get())) {
    PyErr_Restore(captured->type.release(), captured->instance.release(),
                  captured->traceback.release());
  } else {
    raise_lazy();
  }
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

#include "binding/from_python.hpp"

#include <algorithm>

#include "binding/critical.hpp"
#include "binding/once.hpp"
#include "binding/render.hpp"
#include "binding/to_python.hpp"

namespace vesk {
namespace {

// collections.abc.Sequence, imported the first time a sequence check fails.
Result<PyObject*> sequence_abc() {
  static ProcessCell cell;
  return cell.get([]() -> Result<Ref> {
    Ref module_name = new_text("collections.abc");
    Ref module = Ref::steal(PyImport_Import(module_name.get()));
    if (!module) return fail_fetched();
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!type) return fail_fetched();
    return type;
  });
}

PyObject* type_object(PyTypeObject& type) {
  return reinterpret_cast<PyObject*>(&type);
}

// Whether the type's attribute `name` is a str equal to one of `accepted`.
bool type_attribute_is(PyObject* type, Name name,
                       std::initializer_list<std::string_view> accepted) {
  Ref value = Ref::steal(PyObject_GetAttr(type, interned(name)));
  if (!value) {
    discard_pending_exception();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (!text) {
    discard_pending_exception();
    return false;
  }
  const std::string_view actual(text, static_cast<std::size_t>(size));
  for (std::string_view candidate : accepted) {
    if (actual == candidate) return true;
  }
  return false;
}

}  // namespace

Result<std::string_view> to_text_view(PyObject* object) {
  if (!PyUnicode_Check(object)) return fail(Error::type_check(object, type_object(PyUnicode_Type)));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return fail_fetched();
  return std::string_view(data, static_cast<std::size_t>(size));
}

Result<Utf8Text> to_utf8_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return fail(Error::type_check(object, type_object(PyUnicode_Type)));
  // (A str that is not ready, made by the old C API before 3.12, has neither
  // flag set nor a kept UTF-8 form, and is encoded below. On a free-threaded
  // build another thread may be making the kept form of this very str: only
  // an ASCII str, whose bytes are its own, lends them there.)
  if (PyUnicode_IS_COMPACT_ASCII(object) ||
      (!kFreeThreaded && reinterpret_cast<PyCompactUnicodeObject*>(object)->utf8 != nullptr)) {
    Result<std::string_view> view = to_text_view(object);
    if (!view) return fail(std::move(view).error());
    return Utf8Text(Ref(), *view);
  }
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(object));
  if (!encoded) return fail_fetched();
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return Utf8Text(std::move(encoded), bytes);
}

Result<std::string> to_owned_text(PyObject* object) {
  Result<std::string_view> view = to_text_view(object);
  if (!view) return fail(std::move(view).error());
  return std::string(*view);
}

Result<PyObject*> check_list(PyObject* object) {
  if (!PyList_Check(object)) return fail(Error::type_check(object, type_object(PyList_Type)));
  return object;
}

Result<PyObject*> check_dict(PyObject* object) {
  if (!PyDict_Check(object)) return fail(Error::type_check(object, type_object(PyDict_Type)));
  return object;
}

Result<std::vector<std::string>> to_text_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    return fail(Error::type_error("a str is not taken as a sequence of texts"));
  }
  if (!PySequence_Check(object)) {
    Result<PyObject*> sequence = sequence_abc();
    if (!sequence) return fail(std::move(sequence).error());
    return fail(Error::type_check(object, *sequence));
  }
  std::vector<std::string> texts;
  // The length is only a hint from user code (a __len__ can answer anything):
  // room for at most a modest number is reserved, and the vector grows with
  // the items that actually arrive.
  constexpr Py_ssize_t kMaxReserved = 1024;
  const Py_ssize_t size = PyObject_Size(object);
  if (size < 0) {
    discard_pending_exception();
  } else {
    texts.reserve(static_cast<std::size_t>(std::min(size, kMaxReserved)));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return fail_fetched();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Result<std::string> text = to_owned_text(item.get());
    if (!text) return fail(std::move(text).error());
    texts.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) return fail_fetched();
  return texts;
}

Result<bool> to_flag(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  // Held: the lookups can run Python code that reassigns object.__class__.
  const Ref held_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  PyObject* type = held_type.get();
  if (type_attribute_is(type, Name::Module, {"numpy"}) &&
      type_attribute_is(type, Name::Name, {"bool_", "bool"})) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (!number || !number->nb_bool) {
      return fail(Error::type_error(concat("object of type '", render_text(type),
                                           "' does not define a '__bool__' conversion")));
    }
    const int truth = number->nb_bool(object);
    if (truth == 0 || truth == 1) return truth == 1;
    return fail_fetched();
  }
  return fail(Error::type_check(object, type_object(PyBool_Type)));
}

Error with_argument_context(Error error, std::string_view param) {
  Ref instance = error.instance();
  Ref note = new_text(concat("while processing '", param, "'"));
  PyObject* call[] = {instance.get(), note.get()};
  Ref result = Ref::steal(PyObject_VectorcallMethod(interned(Name::AddNote), call,
                                                    2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  // Interpreters without add_note (before 3.11) simply show no note.
  if (!result) discard_pending_exception();
  return error;
}

}  // namespace vesk

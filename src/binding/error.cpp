// The error value: its construction, and the internal failures that are
// thrown past it. Nothing here calls into the interpreter.
#include "binding/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vesk {
namespace {

// Source paths are long absolute build paths; the part from "src/" on is what a
// reader of the diagnostic needs.
const char* short_path(const char* path) {
  const char* found = std::strstr(path, "src/");
  return found ? found : path;
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

Error Error::type_error(std::string message) {
  return Error(Message{Kind::TypeError, std::move(message)});
}
Error Error::value_error(std::string message) {
  return Error(Message{Kind::ValueError, std::move(message)});
}
Error Error::system_error(std::string message) {
  return Error(Message{Kind::SystemError, std::move(message)});
}
Error Error::runtime_error(std::string message) {
  return Error(Message{Kind::RuntimeError, std::move(message)});
}
Error Error::panic(std::string message) {
  return Error(Message{Kind::Panic, std::move(message)});
}
Error Error::type_check(PyObject* object, PyObject* required_type) {
  return Error(TypeCheck{Ref::borrow(object), Ref::borrow(required_type)});
}

}  // namespace vesk

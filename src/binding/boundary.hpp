// The call boundary: the one place where error values and internal failures
// become Python exceptions.
#pragma once

#include <exception>
#include <new>

#include "binding/error.hpp"

namespace vesk {

// Raises an internal failure as PanicException; aborts if even that fails.
void raise_internal_failure(const std::string& message) noexcept;

// Any other C++ exception is a broken invariant too: writes the diagnostic
// (with `what`) and raises the internal failure "unexpected C++ exception".
void raise_unexpected_exception(const char* what) noexcept;

// Runs `body` (returning Result<Ref>) and gives a new reference, or null with
// an exception set. Nothing thrown inside ever leaves this function.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
  try {
    Result<Ref> result = body();
    if (result) return result->release();
    std::move(result).error().restore();
  } catch (const Propagated& propagated) {
    propagated.take().restore();
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_unexpected_exception(unexpected.what());
  } catch (...) {
    raise_unexpected_exception("not a std::exception");
  }
  return nullptr;
}

}  // namespace vesk

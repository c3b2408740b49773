// The call boundary: the one place where error values and internal failures
// become Python exceptions.
#pragma once

#include <exception>
#include <new>

#include "base/unwind.hpp"
#include "binding/error.hpp"

namespace vesk {

// Raises an internal failure as PanicException; aborts if even that fails.
// (Not noexcept: creating the exception can run Python code, see below.)
void raise_internal_failure(const std::string& message);

// Any other C++ exception is a broken invariant too: writes the diagnostic
// (with `what`) and raises the internal failure "unexpected C++ exception".
void raise_unexpected_exception(const char* what);

// Runs `body` (returning Result<Ref>) and gives a new reference, or null with
// an exception set. No C++ exception thrown inside leaves this function; the
// one thing that does is the forced unwind that ends a thread taking the
// interpreter lock back during shutdown (see binding/unlocked.hpp): it must
// reach the interpreter's frames, so neither this function nor any caller
// up to the interpreter is noexcept, and every catch-all here and in the
// rest of the module lets it pass first.
template <class Body>
PyObject* call_boundary(Body&& body) {
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
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_unexpected_exception("not a std::exception");
  }
  return nullptr;
}

}  // namespace vesk

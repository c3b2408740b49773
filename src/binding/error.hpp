// The error model: error values returned by operations, internal failures
// thrown as C++ exceptions, and the conversion of both into Python exceptions.
//
// The value itself is defined in error.cpp. What moves it into and out of the
// interpreter (fetching, matching, raising, discarding, the signal check) is
// defined in exception.cpp, which sits above the result builders, the
// rendering of messages and the panic exception type that it needs; nothing
// below it includes it, so the includes inside binding/ only run downwards.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

#include "binding/ref.hpp"

namespace vesk {

// Joins message parts. (Chains of std::string operator+ trip GCC 12's
// -Wrestrict false positive at -O3.)
template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string joined;
  joined.reserve((std::string_view(parts).size() + ... + 0));
  (joined.append(std::string_view(parts)), ...);
  return joined;
}

// A broken invariant. Thrown by `internal_failure`, caught only by the call
// boundary, which raises it as pyo3_runtime.PanicException.
class InternalFailure {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes a diagnostic (source location and message) to stderr, then throws.
[[noreturn]] void internal_failure(std::string message,
                                   std::source_location where = std::source_location::current());

// The failure result of every operation. Either lazy (an exception type and the
// data for its argument, built only when raised) or captured from the
// interpreter. Owns its references; discarding it never touches the
// interpreter's error indicator.
class Error {
 public:
  static Error type_error(std::string message);
  static Error value_error(std::string message);
  static Error system_error(std::string message);
  static Error runtime_error(std::string message);
  static Error panic(std::string message);
  // The TypeError of a failed type check, "'{}' object is not an instance of
  // '{}'" ("'None' is not an instance of '{}'" for None), formatted when
  // raised.
  static Error type_check(PyObject* object, PyObject* required_type);

  // Takes the pending exception out of the interpreter after a call reported
  // failure. With nothing pending: SystemError "attempted to fetch exception
  // but none was set". A PanicException of this module is resumed instead
  // (throws InternalFailure).
  [[nodiscard]] static Error fetch();

  // Whether this error is an exception of (a subclass of) `exc_type`.
  [[nodiscard]] bool matches(PyObject* exc_type) const;

  // The normalised exception instance (a new reference); turns a lazy value
  // into a captured one.
  Ref instance();

  // Puts the error into the interpreter's error indicator. Used only by the
  // call boundary.
  void restore() &&;

 private:
  // A lazy exception whose argument is a message.
  enum class Kind : std::uint8_t { TypeError, ValueError, SystemError, RuntimeError, Panic };
  struct Message {
    Kind kind;
    std::string text;
  };
  // A lazy TypeError whose message names the two types.
  struct TypeCheck {
    Ref object;
    Ref required_type;
  };
  // An exception taken out of the interpreter, normalised.
  struct Captured {
    Ref type;
    Ref instance;
    Ref traceback;
  };
  using Data = std::variant<Message, TypeCheck, Captured>;

  explicit Error(Data data) : data_(std::make_unique<Data>(std::move(data))) {}
  // Raises a lazy value into the error indicator (a captured one is left alone).
  void raise_lazy();

  // Behind one pointer, so that Result<T> stays small and cheap to pass on
  // the success path; errors are rare and pay the allocation.
  std::unique_ptr<Data> data_;
};

template <class T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

// Captures the pending exception as an error value (see Error::fetch).
inline std::unexpected<Error> fail_fetched() {
  return fail(Error::fetch());
}

// An exception that ends the call even where errors are otherwise discarded:
// KeyboardInterrupt, SystemExit and every other BaseException that is not an
// Exception. Thrown so that it can leave code that has no error path (a sort
// comparator, a fallback that counts a failure as "missing"); the call
// boundary raises it unchanged.
class Propagated {
 public:
  explicit Propagated(Error error) : error_(std::make_shared<Error>(std::move(error))) {}
  // The error, moved out (once; the boundary is the only caller).
  [[nodiscard]] Error take() const { return std::move(*error_); }

 private:
  // Shared, since a thrown object must be copyable and Error is move-only.
  std::shared_ptr<Error> error_;
};

// Drops `error` if it is an Exception; throws Propagated for any other
// BaseException.
void discard(Error error);

// Fetches the pending exception and discards it as `discard` does. A
// PanicException coming back from Python code is still resumed.
void discard_pending_exception();

// Runs the interpreter's signal handlers (a no-op off the main thread); what a
// handler raises (KeyboardInterrupt) is the error value.
Status check_signals();

// Checks for signals once every `Stride` steps of a long native loop: often
// enough that Ctrl-C ends a call within a few milliseconds, rarely enough to
// cost nothing measurable.
template <unsigned Stride = 4096>
class SignalStride {
 public:
  [[nodiscard]] Status step() { return due() ? check_signals() : Status{}; }
  // Counts a step and tells whether a check is due, for callers that must
  // make their state safe for Python code (a signal handler) before it.
  [[nodiscard]] bool due() noexcept {
    if (++count_ < Stride) return false;
    count_ = 0;
    return true;
  }
  // For code without an error path: throws Propagated instead.
  void step_or_throw() {
    if (Status status = step(); !status) throw Propagated(std::move(status).error());
  }

 private:
  unsigned count_ = 0;
};

// Writes a fatal diagnostic and aborts the process.
[[noreturn]] void abort_at_boundary(std::string_view message) noexcept;

}  // namespace vesk

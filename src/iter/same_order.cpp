// same_order: whether the elements of one list occur in another in the same
// relative order (each at its first occurrence).
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/platform.hpp"
#include "binding/critical.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {
namespace {

// a == b for two exact str objects, without a Python call (same answer as
// str.__eq__, which runs no user code).
inline bool exact_text_equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// ------------------------------------------------------------ general order check

// The item at `index`, with a strong reference; IndexError once the list has
// become shorter than that.
Result<Ref> fetch(PyObject* list, Py_ssize_t index) {
  Result<Item> item = list_item(list, index);
  if (!item) return fail(std::move(item).error());
  return std::move(*item).take();
}

// Whether `a == b` is true. Runs arbitrary Python code in general.
Result<bool> equal(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return exact_text_equal(a, b);
  Ref answer = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!answer) return fail_fetched();
  if (answer.get() == Py_True) return true;
  if (answer.get() == Py_False) return false;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return fail_fetched();
  return truth == 1;
}

// Compares every reference element with `comp` from its start, by Python
// equality: equality methods may change either list, so items are fetched
// with bounds checks and held while compared.
Result<bool> same_order_general(PyObject* ref_list, PyObject* comp, Py_ssize_t n, Py_ssize_t m) {
  SignalStride<> signals;
  std::vector<Py_ssize_t> positions;
  positions.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    Result<Ref> wanted = fetch(ref_list, k);
    if (!wanted) return fail(std::move(wanted).error());
    Py_ssize_t found = -1;
    for (Py_ssize_t j = 0; j < m && found < 0; ++j) {
      Result<Ref> candidate = fetch(comp, j);
      if (!candidate) return fail(std::move(candidate).error());
      Result<bool> same = equal(wanted->get(), candidate->get());
      if (!same) return fail(std::move(same).error());
      if (*same) found = j;
      if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
    }
    if (found < 0) return false;
    positions.push_back(found);
  }
  for (std::size_t k = 1; k < positions.size(); ++k) {
    if (positions[k] < positions[k - 1]) return false;
  }
  return true;
}

// ------------------------------------------------------------ built-in elements

// Exact built-in types whose equality runs no Python code and agrees with
// their hash: equal values hash alike, across int, bool and float too
// (1 == 1.0 == True, -0.0 == 0). NaN is the exception (equal to nothing) and
// is handled apart.
enum class Kind : std::uint8_t { Other, None, Number, Text, Bytes };

inline Kind kind_of(PyObject* object) {
  PyTypeObject* const type = Py_TYPE(object);
  if (type == &PyUnicode_Type) return Kind::Text;
  if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) return Kind::Number;
  if (object == Py_None) return Kind::None;
  if (type == &PyBytes_Type) return Kind::Bytes;
  return Kind::Other;
}

inline bool is_nan(PyObject* object) {
  return PyFloat_CheckExact(object) && Py_IS_NAN(PyFloat_AS_DOUBLE(object));
}

constexpr unsigned bit(Kind kind) {
  return 1U << static_cast<unsigned>(kind);
}

// Whether the kinds met so far may be compared natively: bytes beside str or
// numbers stay on the general path, whose comparisons warn under
// `python -b`.
constexpr bool natively_comparable(unsigned seen) {
  return !((seen & bit(Kind::Bytes)) && (seen & (bit(Kind::Text) | bit(Kind::Number))));
}

// The items of `list` (held), when all are of the kinds above; `seen` gathers
// the kinds met. Runs no Python code; reads the list at one moment.
bool take_builtin_items(PyObject* list, std::vector<Ref>& items, unsigned& seen) {
  const Locked locked(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  for (Py_ssize_t j = 0; j < size; ++j) {
    const Kind kind = kind_of(PyList_GET_ITEM(list, j));
    if (kind == Kind::Other) return false;
    seen |= bit(kind);
  }
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t j = 0; j < size; ++j) items.push_back(Ref::borrow(PyList_GET_ITEM(list, j)));
  return true;
}

// A str's hash if it is known already (it is kept in the object once
// computed), else -1. On a free-threaded build another thread may be storing
// it, so it is asked of the interpreter there.
inline Py_hash_t cached_hash(PyObject* text) {
  if constexpr (kFreeThreaded) return -1;
  return reinterpret_cast<PyASCIIObject*>(text)->hash;
}

// hash(object) for the kinds above; a str's hash is usually cached already.
inline Py_hash_t builtin_hash(PyObject* object) {
  if (PyUnicode_CheckExact(object)) {
    const Py_hash_t cached = cached_hash(object);
    if (cached != -1) return cached;
  }
  return PyObject_Hash(object);
}

// a == b for two non-NaN objects of the kinds above, natively.
Result<bool> builtin_equal(PyObject* a, PyObject* b) {
  const Kind kind = kind_of(a);
  if (kind != kind_of(b)) return false;
  switch (kind) {
    case Kind::Text:
      return exact_text_equal(a, b);
    case Kind::Bytes:
      return PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
             std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(a))) == 0;
    case Kind::Number: {
      // Exact for every pair of int, bool and float (huge ints included);
      // native code only. Neither is NaN, so identity implies equality.
      const int same = PyObject_RichCompareBool(a, b, Py_EQ);
      if (same < 0) return fail_fetched();
      return same == 1;
    }
    default:
      return true;  // None
  }
}

// The distinct values of the reference list, each with the position of its
// first occurrence in `comp` once found. Open addressing on the values'
// Python hashes, at most half full. A slot holds a value's number and 32 bits
// of its hash, so that the probes of the many `comp` elements that are not
// reference values mostly stay within one small array; a value is compared
// only when those bits match, so the full hash is not kept. Room for the
// values is taken once, for as many as the reference list has elements: never
// copied while growing, and only the part in use is ever touched.
class FirstPositions {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit FirstPositions(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    slots_.assign(capacity, Slot{0, kNone});
    values_.reserve(count);
    mask_ = capacity - 1;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift_;
  }

  // The number of the value equal to `object`; with `add`, a new one is
  // made when there is none (else kNone).
  Result<std::uint32_t> find(PyObject* object, Py_hash_t hash, bool add) {
    const auto bits = static_cast<std::uint64_t>(hash);
    const auto tag = static_cast<std::uint32_t>(bits ^ (bits >> 32));
    std::size_t at = home(hash);
    for (; slots_[at].value != kNone; at = (at + 1) & mask_) {
      if (slots_[at].tag != tag) continue;
      Result<bool> same = builtin_equal(values_[slots_[at].value].object, object);
      if (!same) return fail(std::move(same).error());
      if (*same) return slots_[at].value;
    }
    if (!add) return kNone;
    slots_[at] = Slot{tag, static_cast<std::uint32_t>(values_.size())};
    values_.push_back(Value{object, -1});
    return slots_[at].value;
  }

  // Starts loading the first slot that `find` will read for `hash`.
  void prefetch(Py_hash_t hash) const noexcept { vesk::prefetch(&slots_[home(hash)]); }

  [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }
  Py_ssize_t& first(std::uint32_t value) noexcept { return values_[value].first; }

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t value;
  };
  struct Value {
    PyObject* object;  // held by the caller's copy of the reference list
    Py_ssize_t first;  // -1 until found
  };

  [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >>
                                    shift_);
  }

  std::vector<Slot> slots_;
  std::vector<Value> values_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

enum class Outcome : std::uint8_t { False, True, General };

// The order check over built-in elements in time proportional to n + m: the
// first position of every distinct reference value comes from one pass over
// `comp`, the same answer as the general check, which on such elements runs
// no Python code either. `comp` is read only as far as the general check
// would compare it (to the last first position, or to its end when a value
// is missing); an element met there that is not of the kinds above sends the
// call to the general check (General), which then repeats from the start
// what was done here without any visible effect. The reference elements are
// held, since signal handlers run now and then; the answer is the one for
// the reference list as it was when taken.
Result<Outcome> same_order_builtin(const std::vector<Ref>& ref_items, PyObject* comp, Py_ssize_t m,
                                   unsigned seen) {
  SignalStride<> signals;
  FirstPositions table(ref_items.size());
  std::vector<std::uint32_t> ref_values;
  ref_values.reserve(ref_items.size());
  bool has_nan = false;  // a NaN equals nothing: such a list is never in order
  for (const Ref& item : ref_items) {
    PyObject* const object = item.get();
    if (is_nan(object)) {
      has_nan = true;
      continue;
    }
    const Py_hash_t hash = builtin_hash(object);
    if (hash == -1) return fail_fetched();
    Result<std::uint32_t> value = table.find(object, hash, true);
    if (!value) return fail(std::move(value).error());
    ref_values.push_back(*value);
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  std::size_t unfound = table.size();
  constexpr Py_ssize_t kAhead = 8;
  for (Py_ssize_t j = 0; j < m && (unfound > 0 || has_nan); ++j) {
    // Large lists do not fit in the caches: the elements some steps ahead
    // are loaded early, and then the slot that each one will probe, so
    // that the loads overlap.
    if (kReadsAhead && j + 2 * kAhead < PyList_GET_SIZE(comp)) {
      prefetch(PyList_GET_ITEM(comp, j + 2 * kAhead));
      PyObject* const soon = PyList_GET_ITEM(comp, j + kAhead);
      if (PyUnicode_CheckExact(soon)) {
        const Py_hash_t cached = cached_hash(soon);
        if (cached != -1) table.prefetch(cached);
      }
    }
    // Read afresh at every step: a signal handler (or another thread) may
    // have changed `comp`.
    Result<Item> item = list_item(comp, j);
    if (!item) return fail(std::move(item).error());
    PyObject* const object = item->get();
    const Kind kind = kind_of(object);
    seen |= bit(kind);
    if (kind == Kind::Other || !natively_comparable(seen)) return Outcome::General;
    if (is_nan(object)) continue;
    const Py_hash_t hash = builtin_hash(object);
    if (hash == -1) return fail_fetched();
    Result<std::uint32_t> value = table.find(object, hash, false);
    if (!value) return fail(std::move(value).error());
    if (*value != FirstPositions::kNone && table.first(*value) < 0) {
      table.first(*value) = j;
      --unfound;
    }
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  if (unfound > 0 || has_nan) return Outcome::False;
  Py_ssize_t last = -1;
  for (std::uint32_t value : ref_values) {
    const Py_ssize_t position = table.first(value);
    if (position < last) return Outcome::False;
    last = position;
  }
  return Outcome::True;
}

}  // namespace

Result<Ref> same_order_body(BoundArgs& args) {
  Result<PyObject*> ref_list = argument("ref_list", check_list(args[0]));
  if (!ref_list) return fail(std::move(ref_list).error());
  Result<PyObject*> comp = argument("comp", check_list(args[1]));
  if (!comp) return fail(std::move(comp).error());

  // The two lengths, read at one moment (the length test compares them).
  Py_ssize_t n = 0;
  Py_ssize_t m = 0;
  {
    const LockedPair locked(*ref_list, *comp);
    n = PyList_GET_SIZE(*ref_list);
    m = PyList_GET_SIZE(*comp);
  }
  if (m < n) return new_bool(false);
  if (n == 0) return new_bool(true);

  // Built-in elements: the answer without Python calls, unless the general
  // check would make some (a subclass, a tuple, a user class, bytes beside
  // text), in which case it runs with its Python calls in their usual order.
  {
    std::vector<Ref> ref_items;
    unsigned seen = 0;
    // (The list may have grown since `n` was read, on a free-threaded build.)
    if (static_cast<std::size_t>(n) < FirstPositions::kNone &&
        take_builtin_items(*ref_list, ref_items, seen) &&
        ref_items.size() < FirstPositions::kNone && natively_comparable(seen)) {
      Result<Outcome> outcome = same_order_builtin(ref_items, *comp, m, seen);
      if (!outcome) return fail(std::move(outcome).error());
      if (*outcome != Outcome::General) return new_bool(*outcome == Outcome::True);
    }
  }
  Result<bool> answer = same_order_general(*ref_list, *comp, n, m);
  if (!answer) return fail(std::move(answer).error());
  return new_bool(*answer);
}

}  // namespace vesk::iter

// same_order: whether the elements of one list occur in another in the same
// relative order (each at its first occurrence).
#include <cstdint>
#include <cstring>
#include <vector>

#include "binding/convert.hpp"
#include "iter/items.hpp"
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
  Result<PyObject*> item = list_item(list, index);
  if (!item) return fail(std::move(item).error());
  return Ref::borrow(*item);
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

// The items of `list` (held), when all are of the kinds above; `seen` gathers
// the kinds met. Runs no Python code.
bool take_builtin_items(PyObject* list, std::vector<Ref>& items, unsigned& seen) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  for (Py_ssize_t j = 0; j < size; ++j) {
    const Kind kind = kind_of(PyList_GET_ITEM(list, j));
    if (kind == Kind::Other) return false;
    seen |= 1U << static_cast<unsigned>(kind);
  }
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t j = 0; j < size; ++j) items.push_back(Ref::borrow(PyList_GET_ITEM(list, j)));
  return true;
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
// Python hashes, at most half full.
class FirstPositions {
 public:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;

  explicit FirstPositions(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    slots_.assign(capacity, Slot{0, kEmpty});
    mask_ = capacity - 1;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift_;
  }

  // The index of the value equal to `object`; with `add`, a new one is made
  // when there is none (else kEmpty).
  Result<std::uint32_t> find(PyObject* object, Py_hash_t hash, bool add) {
    std::size_t at = home(hash);
    for (; slots_[at].value != kEmpty; at = (at + 1) & mask_) {
      if (slots_[at].hash != hash) continue;
      Result<bool> same = builtin_equal(values_[slots_[at].value], object);
      if (!same) return fail(std::move(same).error());
      if (*same) return slots_[at].value;
    }
    if (!add) return kEmpty;
    const auto value = static_cast<std::uint32_t>(values_.size());
    slots_[at] = Slot{hash, value};
    values_.push_back(object);
    first_.push_back(-1);
    return value;
  }

  [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }
  Py_ssize_t& first(std::uint32_t value) noexcept { return first_[value]; }

 private:
  struct Slot {
    Py_hash_t hash;
    std::uint32_t value;
  };
  [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >>
                                    shift_);
  }

  std::vector<Slot> slots_;
  std::vector<PyObject*> values_;  // held by the caller's copy of the reference list
  std::vector<Py_ssize_t> first_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// The order check over built-in elements in time proportional to n + m: the
// first position of every distinct reference value comes from one pass over
// `comp`. Same answer as the general check, which on such elements runs no
// Python code either. The elements are held, so the signal handlers run now
// and then cannot free them; the answer is the one for the lists as they
// were when taken.
Result<bool> same_order_builtin(const std::vector<Ref>& ref_items,
                                const std::vector<Ref>& comp_items) {
  SignalStride<> signals;
  // Reference values are indexed when no bigger than 2^32 - 1 distinct ones.
  FirstPositions table(ref_items.size());
  std::vector<std::uint32_t> ref_values;
  ref_values.reserve(ref_items.size());
  for (const Ref& item : ref_items) {
    PyObject* const object = item.get();
    if (is_nan(object)) return false;  // equal to nothing in `comp`
    const Py_hash_t hash = PyObject_Hash(object);
    if (hash == -1) return fail_fetched();
    Result<std::uint32_t> value = table.find(object, hash, true);
    if (!value) return fail(std::move(value).error());
    ref_values.push_back(*value);
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  std::size_t unfound = table.size();
  for (std::size_t j = 0; j < comp_items.size() && unfound > 0; ++j) {
    PyObject* const object = comp_items[j].get();
    if (is_nan(object)) continue;
    const Py_hash_t hash = PyObject_Hash(object);
    if (hash == -1) return fail_fetched();
    Result<std::uint32_t> value = table.find(object, hash, false);
    if (!value) return fail(std::move(value).error());
    if (*value != FirstPositions::kEmpty && table.first(*value) < 0) {
      table.first(*value) = static_cast<Py_ssize_t>(j);
      --unfound;
    }
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  if (unfound > 0) return false;
  Py_ssize_t last = -1;
  for (std::uint32_t value : ref_values) {
    const Py_ssize_t position = table.first(value);
    if (position < last) return false;
    last = position;
  }
  return true;
}

constexpr unsigned bit(Kind kind) {
  return 1U << static_cast<unsigned>(kind);
}

}  // namespace

Result<Ref> same_order_body(BoundArgs& args) {
  Result<PyObject*> ref_list = argument("ref_list", check_list(args[0]));
  if (!ref_list) return fail(std::move(ref_list).error());
  Result<PyObject*> comp = argument("comp", check_list(args[1]));
  if (!comp) return fail(std::move(comp).error());

  const Py_ssize_t n = PyList_GET_SIZE(*ref_list);
  const Py_ssize_t m = PyList_GET_SIZE(*comp);
  if (m < n) return new_bool(false);
  if (n == 0) return new_bool(true);

  // Built-in elements only: the answer without Python calls. Bytes beside
  // str or numbers stay on the general path, whose comparisons warn under
  // `python -b`. Anything else anywhere (a subclass, a tuple, a user class)
  // takes the general path, with its Python calls in their usual order.
  std::vector<Ref> ref_items;
  std::vector<Ref> comp_items;
  unsigned seen = 0;
  if (static_cast<std::size_t>(n) < FirstPositions::kEmpty &&
      take_builtin_items(*ref_list, ref_items, seen) &&
      take_builtin_items(*comp, comp_items, seen) &&
      !((seen & bit(Kind::Bytes)) && (seen & (bit(Kind::Text) | bit(Kind::Number))))) {
    Result<bool> answer = same_order_builtin(ref_items, comp_items);
    if (!answer) return fail(std::move(answer).error());
    return new_bool(*answer);
  }
  ref_items.clear();
  comp_items.clear();
  Result<bool> answer = same_order_general(*ref_list, *comp, n, m);
  if (!answer) return fail(std::move(answer).error());
  return new_bool(*answer);
}

}  // namespace vesk::iter

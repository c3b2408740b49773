// Sequence utilities: flattening, back-filling and the order check. Lists are
// read through their own storage (subclass methods are never called).
#include "iter/py_iter.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/build.hpp"
#include "binding/convert.hpp"

namespace vesk::iter {
namespace {

// ---------------------------------------------------------------- collapse

// One container being walked. Borrowed: no Python code runs during the walk,
// so every container stays alive and unchanged, held by its parent.
struct Frame {
  PyObject* container;
  Py_ssize_t next;
};

// A container that holds itself (directly or through others) sends the walk
// down an endless path. That path is eventually periodic: from a given
// container the walk always descends into the same child, the first one whose
// content is endless. So once the path is deep enough, its newest container
// is already on it. Checking only when the depth reaches a power of two from
// 64 on finds every cycle, costs shallow data nothing and deep data O(1)
// amortised per level.
constexpr std::size_t kFirstCycleCheck = 64;

bool newest_is_repeated(const std::vector<Frame>& frames) {
  PyObject* const newest = frames.back().container;
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    if (frames[i].container == newest) return true;
  }
  return false;
}

inline Py_ssize_t container_size(PyObject* container) {
  return PyList_Check(container) ? PyList_GET_SIZE(container) : PyTuple_GET_SIZE(container);
}

inline PyObject* container_item(PyObject* container, Py_ssize_t index) {
  return PyList_Check(container) ? PyList_GET_ITEM(container, index)
                                 : PyTuple_GET_ITEM(container, index);
}

inline bool is_container(PyObject* object) {
  return PyList_Check(object) || PyTuple_Check(object);
}

}  // namespace

Result<Ref> collapse_body(BoundArgs& args) {
  Ref result = new_list(0);
  std::vector<Frame> frames;
  frames.reserve(16);
  frames.push_back(Frame{args.varargs.get(), 0});
  while (!frames.empty()) {
    Frame& top = frames.back();
    PyObject* container = top.container;
    if (top.next >= container_size(container)) {
      frames.pop_back();
      continue;
    }
    PyObject* item = container_item(container, top.next++);
    if (is_container(item)) {
      frames.push_back(Frame{item, 0});
      const std::size_t depth = frames.size();
      if (depth >= kFirstCycleCheck && (depth & (depth - 1)) == 0 && newest_is_repeated(frames)) {
        return fail(Error::value_error("collapse() argument contains a reference cycle"));
      }
    } else if (Status appended = list_append(result.get(), item); !appended) {
      return fail(std::move(appended).error());
    }
  }
  return result;
}

// ---------------------------------------------------------------- backfill

Result<Ref> backfill_body(BoundArgs& args) {
  Result<PyObject*> values = argument("values", check_list(args[0]));
  if (!values) return fail(std::move(values).error());
  PyObject* list = *values;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0) return new_list(0);

  Py_ssize_t first = 0;
  while (first < n && PyList_GET_ITEM(list, first) == Py_None) ++first;
  if (first == n) return Ref::borrow(list);

  // No Python code runs from here on, so the list keeps its length and items.
  PyObject* fill = PyList_GET_ITEM(list, first);
  Ref result = new_list(n);
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* item = PyList_GET_ITEM(list, j);
    if (item != Py_None) fill = item;
    PyList_SET_ITEM(result.get(), j, Ref::borrow(fill).release());
  }
  return result;
}

// ---------------------------------------------------------------- backfill_iterdict

namespace {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// What is known of one key text during a call.
struct KeyState {
  Ref key;                               // the one new str used for this key in every output row
  PyObject* latest = nullptr;            // most recent non-None value (kept alive by its row)
  std::vector<Py_ssize_t> pending_rows;  // rows that held the key with None before any value
};

class KeyTable {
 public:
  // The state of the key object `key`. Keys are matched by their text; the
  // object cache saves re-reading the text of the key objects that rows share.
  Result<KeyState*> find(PyObject* key) {
    if (auto cached = by_object_.find(key); cached != by_object_.end()) return cached->second;
    if (!PyUnicode_Check(key)) {
      return fail(failed_type_check(key, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    Result<std::string_view> text = to_text_view(key);
    if (!text) return fail(std::move(text).error());
    auto found = by_text_.find(*text);
    if (found == by_text_.end()) {
      states_.push_back(std::make_unique<KeyState>());
      states_.back()->key = new_text(*text);
      found = by_text_.emplace(std::string(*text), states_.back().get()).first;
    }
    by_object_.emplace(key, found->second);
    return found->second;
  }

 private:
  std::vector<std::unique_ptr<KeyState>> states_;
  std::unordered_map<std::string, KeyState*, TextHash, std::equal_to<>> by_text_;
  std::unordered_map<PyObject*, KeyState*> by_object_;
};

}  // namespace

Result<Ref> backfill_iterdict_body(BoundArgs& args) {
  Result<PyObject*> checked = argument("iterdict", check_list(args[0]));
  if (!checked) return fail(std::move(checked).error());
  PyObject* list = *checked;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  Ref result = new_list(n);
  // The result is filled front to back; until a slot is filled it is null,
  // which the list's deallocation tolerates should the call fail half-way.
  KeyTable keys;
  for (Py_ssize_t r = 0; r < n; ++r) {
    PyObject* row = PyList_GET_ITEM(list, r);
    if (Result<PyObject*> is_dict = check_dict(row); !is_dict) {
      return fail(std::move(is_dict).error());
    }
    Ref out = new_dict();
    const Py_ssize_t size_at_start = PyDict_GET_SIZE(row);
    Py_ssize_t position = 0;
    Py_ssize_t read = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(row, &position, &key, &value)) {
      if (++read > size_at_start) internal_failure("dictionary keys changed during iteration");
      Result<KeyState*> found = keys.find(key);
      if (!found) return fail(std::move(found).error());
      KeyState& state = **found;
      if (value != Py_None) {
        state.latest = value;
        for (Py_ssize_t earlier : state.pending_rows) {
          Status set = dict_set(PyList_GET_ITEM(result.get(), earlier), state.key.get(), value);
          if (!set) return fail(std::move(set).error());
        }
        state.pending_rows.clear();
        state.pending_rows.shrink_to_fit();
        if (Status set = dict_set(out.get(), state.key.get(), value); !set) {
          return fail(std::move(set).error());
        }
      } else if (state.latest) {
        if (Status set = dict_set(out.get(), state.key.get(), state.latest); !set) {
          return fail(std::move(set).error());
        }
      } else {
        state.pending_rows.push_back(r);
      }
    }
    if (PyDict_GET_SIZE(row) != size_at_start) {
      internal_failure("dictionary changed size during iteration");
    }
    PyList_SET_ITEM(result.get(), r, out.release());
  }
  return result;
}

// ---------------------------------------------------------------- same_order

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

// The item at `index`, with a strong reference; IndexError once the list has
// become shorter than that.
Result<Ref> fetch(PyObject* list, Py_ssize_t index) {
  PyObject* item = PyList_GetItem(list, index);
  if (!item) return fail_fetched();
  return Ref::borrow(item);
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

  std::vector<Py_ssize_t> positions;
  positions.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    Result<Ref> wanted = fetch(*ref_list, k);
    if (!wanted) return fail(std::move(wanted).error());
    Py_ssize_t found = -1;
    for (Py_ssize_t j = 0; j < m && found < 0; ++j) {
      Result<Ref> candidate = fetch(*comp, j);
      if (!candidate) return fail(std::move(candidate).error());
      Result<bool> same = equal(wanted->get(), candidate->get());
      if (!same) return fail(std::move(same).error());
      if (*same) found = j;
    }
    if (found < 0) return new_bool(false);
    positions.push_back(found);
  }
  for (std::size_t k = 1; k < positions.size(); ++k) {
    if (positions[k] < positions[k - 1]) return new_bool(false);
  }
  return new_bool(true);
}

}  // namespace vesk::iter

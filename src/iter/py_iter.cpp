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

// A new list of `list`'s length. Creating it may run a garbage collection,
// whose finalizers are Python code that could change `list`; the length is
// read again until it holds still, so the reads that follow stay in bounds
// (nothing after the creation runs Python code).
Ref new_list_like(PyObject* list, Py_ssize_t& length) {
  for (;;) {
    length = PyList_GET_SIZE(list);
    Ref made = new_list(length);
    if (PyList_GET_SIZE(list) == length) return made;
  }
}

Result<Ref> backfill_body(BoundArgs& args) {
  Result<PyObject*> values = argument("values", check_list(args[0]));
  if (!values) return fail(std::move(values).error());
  PyObject* list = *values;
  if (PyList_GET_SIZE(list) == 0) return new_list(0);

  Py_ssize_t n = 0;
  Ref result = new_list_like(list, n);
  Py_ssize_t first = 0;
  while (first < n && PyList_GET_ITEM(list, first) == Py_None) ++first;
  if (first == n) return n == 0 ? std::move(result) : Ref::borrow(list);

  PyObject* fill = PyList_GET_ITEM(list, first);
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
  Ref latest;                            // most recent non-None value
  std::vector<Py_ssize_t> pending_rows;  // rows that held the key with None before any value
};

class KeyTable {
 public:
  // The state of the key object `key`. Keys are matched by their text; the
  // cache by object saves re-reading the text of the key objects that rows
  // share, and holds them so that no other object can take their address.
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
    held_.push_back(Ref::borrow(key));
    by_object_.emplace(key, found->second);
    return found->second;
  }

 private:
  std::vector<std::unique_ptr<KeyState>> states_;
  std::unordered_map<std::string, KeyState*, TextHash, std::equal_to<>> by_text_;
  std::unordered_map<PyObject*, KeyState*> by_object_;
  std::vector<Ref> held_;
};

// One key set in an output row.
struct Write {
  KeyState* state;
  Ref value;
};

bool same_keys(const std::vector<Write>& a, const std::vector<Write>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].state != b[i].state) return false;
  }
  return true;
}

// The output row for `writes`. Rows of a table mostly set the same keys in
// the same order as the row before; copying that row's dict (a flat clone of
// its key table) and replacing the values is then much cheaper than inserting
// every key into a fresh dict.
Result<Ref> build_row(const std::vector<Write>& writes, PyObject* like) {
  Ref out = like ? created(PyDict_Copy(like)) : new_dict();
  for (const Write& write : writes) {
    if (Status set = dict_set(out.get(), write.state->key.get(), write.value.get()); !set) {
      return fail(std::move(set).error());
    }
  }
  return out;
}

}  // namespace

Result<Ref> backfill_iterdict_body(BoundArgs& args) {
  Result<PyObject*> checked = argument("iterdict", check_list(args[0]));
  if (!checked) return fail(std::move(checked).error());
  PyObject* list = *checked;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  // Slots stay null until filled, which the list's deallocation tolerates
  // should the call fail half-way.
  Ref result = new_list(n);
  KeyTable keys;
  std::vector<Write> writes;
  std::vector<Write> previous_writes;
  PyObject* previous_out = nullptr;  // held by `result`
  bool previous_changed = false;     // a later row filled a key into it
  for (Py_ssize_t r = 0; r < n; ++r) {
    // Creating dicts can run finalizers (Python code) through the garbage
    // collector: the row is fetched with a bounds check and held.
    PyObject* fetched = PyList_GetItem(list, r);
    if (!fetched) return fail_fetched();
    const Ref row = Ref::borrow(fetched);
    if (Result<PyObject*> is_dict = check_dict(row.get()); !is_dict) {
      return fail(std::move(is_dict).error());
    }
    writes.clear();
    const Py_ssize_t size_at_start = PyDict_GET_SIZE(row.get());
    Py_ssize_t position = 0;
    Py_ssize_t read = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(row.get(), &position, &key, &value)) {
      if (++read > size_at_start) internal_failure("dictionary keys changed during iteration");
      Result<KeyState*> found = keys.find(key);
      if (!found) return fail(std::move(found).error());
      KeyState& state = **found;
      if (value != Py_None) {
        state.latest = Ref::borrow(value);
        for (Py_ssize_t earlier : state.pending_rows) {
          // Two keys of one row can share a text (str subclasses with their
          // own hashing); this row then gets the value from the write below.
          if (earlier == r) continue;
          Status set = dict_set(PyList_GET_ITEM(result.get(), earlier), state.key.get(), value);
          if (!set) return fail(std::move(set).error());
          previous_changed |= earlier == r - 1;
        }
        state.pending_rows.clear();
        state.pending_rows.shrink_to_fit();
        writes.push_back(Write{&state, Ref::borrow(value)});
      } else if (state.latest) {
        writes.push_back(Write{&state, Ref::borrow(state.latest.get())});
      } else {
        state.pending_rows.push_back(r);
      }
    }
    if (PyDict_GET_SIZE(row.get()) != size_at_start) {
      internal_failure("dictionary changed size during iteration");
    }
    const bool reuse = previous_out && !previous_changed && same_keys(writes, previous_writes);
    Result<Ref> out = build_row(writes, reuse ? previous_out : nullptr);
    if (!out) return fail(std::move(out).error());
    previous_out = out->get();
    previous_changed = false;
    PyList_SET_ITEM(result.get(), r, out->release());
    std::swap(writes, previous_writes);
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

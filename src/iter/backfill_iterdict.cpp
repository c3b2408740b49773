// backfill_iterdict: None values of a list of dicts replaced, key by key, by
// the latest value before them.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/platform.hpp"
#include "binding/critical.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {
namespace {

// What is known of one key text during a call.
struct KeyState {
  Ref key;                                // the one new str used for this key in every output row
  Ref latest;                             // most recent non-None value
  std::vector<std::size_t> pending_rows;  // rows that held the key with None before any value
  Py_hash_t hash = 0;                     // str hash of the text
};

// Key states by text. Only the key objects of the row before are remembered
// by identity (rows of one table mostly share them): remembering every key
// object would keep them all alive, which costs a table entry per key of
// every row when each row has its own key strings (decoded rows do).
class KeyTable {
 public:
  // The state of `key`, the `index`-th key (held by the caller) of the
  // current row.
  Result<KeyState*> find(PyObject* key, std::size_t index) {
    KeyState* state = nullptr;
    if (index < previous_keys_.size() && previous_keys_[index].get() == key) {
      state = previous_states_[index];
    } else {
      current_shared_ = false;
      Result<KeyState*> found = find_text(key);
      if (!found) return fail(std::move(found).error());
      state = *found;
    }
    current_keys_.push_back(Ref::borrow(key));
    current_states_.push_back(state);
    return state;
  }

  // Ends a row: its key objects become the ones remembered.
  void next_row() {
    previous_keys_.swap(current_keys_);
    previous_states_.swap(current_states_);
    current_keys_.clear();
    current_states_.clear();
    previous_shared_ = current_shared_;
    current_shared_ = true;
  }

  // Whether the row before had the very key objects of the row before it
  // (rows built from one template share them).
  [[nodiscard]] bool keys_shared() const noexcept { return previous_shared_; }

 private:
  // Looked up by the str hash of the text (cached in the key object, since
  // the row dict hashed it) and compared by content: equal str values are
  // equal UTF-8 texts.
  Result<KeyState*> find_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
      return fail(Error::type_check(key, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    Result<std::string_view> text = to_text_view(key);  // also refuses lone surrogates
    if (!text) return fail(std::move(text).error());
    // str's own hash, also for a subclass that hashes differently.
    const Py_hash_t hash = PyUnicode_Type.tp_hash(key);
    if (hash == -1) return fail_fetched();
    if ((states_.size() + 1) * 2 > slots_.size()) grow();
    std::size_t at = home(hash);
    for (; slots_[at] != nullptr; at = (at + 1) & mask_) {
      if (slots_[at]->hash == hash && same_text(slots_[at]->key.get(), key)) return slots_[at];
    }
    states_.push_back(std::make_unique<KeyState>());
    KeyState* const state = states_.back().get();
    state->key = new_text(*text);
    state->hash = hash;
    slots_[at] = state;
    return state;
  }

  static bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
  }

  [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL >>
                                    shift_);
  }

  void grow() {
    const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    slots_.assign(capacity, nullptr);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift_;
    for (const auto& state : states_) {
      std::size_t at = home(state->hash);
      while (slots_[at] != nullptr) at = (at + 1) & mask_;
      slots_[at] = state.get();
    }
  }

  std::vector<std::unique_ptr<KeyState>> states_;
  std::vector<KeyState*> slots_;  // open addressing by hash, at most half full
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::vector<Ref> previous_keys_;
  std::vector<KeyState*> previous_states_;
  std::vector<Ref> current_keys_;
  std::vector<KeyState*> current_states_;
  bool previous_shared_ = false;
  bool current_shared_ = true;
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

// The key and value objects of a row lie anywhere in memory, and rows decoded
// from JSON or CSV have key objects of their own. Asking for all of them
// before the row is read lets their cache misses overlap instead of waiting
// for each in turn (a hint only: nothing is read here but the dict's own
// entries, which the row's reading needs next anyway).
void prefetch_items(PyObject* row) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(row, &position, &key, &value)) {
    prefetch(key);
    prefetch(value);
  }
}

// The entries of one row dict, in its iteration order. With the interpreter
// lock the row is walked in place, and Python code run between two steps (a
// signal handler, a finalizer) may change it: the interpreter's own errors
// for a dict changed under an iteration then end the call. On a free-threaded
// build another thread may change it at any moment, so its entries are copied,
// each held, under its critical section, and the copy is walked.
class RowEntries {
 public:
  explicit RowEntries(PyObject* row) : row_(row) {
    if constexpr (kFreeThreaded) {
      const Locked locked(row);
      entries_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(row)) * 2);
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(row, &position, &key, &value)) {
        entries_.push_back(Ref::borrow(key));
        entries_.push_back(Ref::borrow(value));
      }
    } else {
      size_at_start_ = PyDict_GET_SIZE(row);
    }
  }

  // The next entry (borrowed, held by the row or the copy until the next
  // step); false at the end.
  Result<bool> next(PyObject*& key, PyObject*& value) {
    if constexpr (kFreeThreaded) {
      if (position_ == static_cast<Py_ssize_t>(entries_.size())) return false;
      key = entries_[static_cast<std::size_t>(position_++)].get();
      value = entries_[static_cast<std::size_t>(position_++)].get();
      return true;
    }
    const bool more = PyDict_Next(row_, &position_, &key, &value);
    if (PyDict_GET_SIZE(row_) != size_at_start_) {
      return fail(Error::runtime_error("dictionary changed size during iteration"));
    }
    if (more && ++read_ > size_at_start_) {
      return fail(Error::runtime_error("dictionary keys changed during iteration"));
    }
    return more;
  }

 private:
  PyObject* row_;
  Py_ssize_t position_ = 0;
  Py_ssize_t size_at_start_ = 0;
  Py_ssize_t read_ = 0;
  std::vector<Ref> entries_;  // free-threaded: key, value, key, value...
};

}  // namespace

Result<Ref> backfill_iterdict_body(BoundArgs& args) {
  Result<PyObject*> checked = argument("iterdict", check_list(args[0]));
  if (!checked) return fail(std::move(checked).error());
  PyObject* const list = *checked;
  const ListItems rows(list);
  const Py_ssize_t n = rows.size();
  // The output rows stay here until the end (see list_of); the back-fill
  // writes into earlier ones, which are complete dicts all along.
  std::vector<Ref> outputs;
  outputs.reserve(static_cast<std::size_t>(n));
  KeyTable keys;
  std::vector<Write> writes;
  std::vector<Write> previous_writes;
  bool previous_changed = false;  // a later row filled a key into the previous output row
  SignalStride<> signals;
  // Python code can run during the call (finalizers run by a collection
  // when a dict is created, signal handlers, the release of a value whose
  // other owners are gone): the row, its keys and values are held while in
  // use, and rows are fetched with a bounds check (or from a copy of the
  // list, see ListItems).
  for (Py_ssize_t r = 0; r < n; ++r) {
    Result<Item> fetched = rows[r];
    if (!fetched) return fail(std::move(fetched).error());
    const Ref row = std::move(*fetched).take();
    if (Result<PyObject*> is_dict = check_dict(row.get()); !is_dict) {
      return fail(std::move(is_dict).error());
    }
    if constexpr (kReadsAhead) {
      if (r + 2 < PyList_GET_SIZE(list)) prefetch(PyList_GET_ITEM(list, r + 2));
      // Shared key objects are in the cache already.
      if (!keys.keys_shared()) prefetch_items(row.get());
    }
    const std::size_t here = outputs.size();
    writes.clear();
    RowEntries entries(row.get());
    std::size_t read = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (true) {
      Result<bool> more = entries.next(key, value);
      if (!more) return fail(std::move(more).error());
      if (!*more) break;
      Ref held_value = Ref::borrow(value);
      Result<KeyState*> found = keys.find(key, read++);
      if (!found) return fail(std::move(found).error());
      KeyState& state = **found;
      if (value != Py_None) {
        for (std::size_t earlier : state.pending_rows) {
          // Two keys of one row can share a text (str subclasses with their
          // own hashing); this row then gets the value from the write below.
          if (earlier == here) continue;
          Status set = dict_set(outputs[earlier].get(), state.key.get(), value);
          if (!set) return fail(std::move(set).error());
          previous_changed |= earlier + 1 == here;
        }
        state.pending_rows.clear();
        state.pending_rows.shrink_to_fit();
        state.latest = Ref::borrow(value);
        writes.push_back(Write{&state, std::move(held_value)});
      } else if (state.latest) {
        writes.push_back(Write{&state, Ref::borrow(state.latest.get())});
      } else {
        state.pending_rows.push_back(here);
      }
      if (Status interrupted = signals.step(); !interrupted) {
        return fail(std::move(interrupted).error());
      }
    }
    keys.next_row();
    // The previous output row is copied only while it holds exactly the keys
    // it was built with.
    PyObject* const previous = here > 0 ? outputs.back().get() : nullptr;
    const bool reuse = previous && !previous_changed && same_keys(writes, previous_writes) &&
                       PyDict_GET_SIZE(previous) == static_cast<Py_ssize_t>(writes.size());
    Result<Ref> out = build_row(writes, reuse ? previous : nullptr);
    if (!out) return fail(std::move(out).error());
    outputs.push_back(std::move(*out));
    previous_changed = false;
    std::swap(writes, previous_writes);
  }
  return list_of(outputs);
}

}  // namespace vesk::iter

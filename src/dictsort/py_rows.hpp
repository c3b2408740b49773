// Moving multikeysort's rows between the list and the sort: the extraction of
// every row's values (with the prefetching that hides the cache misses of a
// large list) and the delivery of the sorted items, as a new list or in place.
// Used by py_dictsort.cpp alone.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "base/platform.hpp"
#include "binding/critical.hpp"
#include "binding/to_python.hpp"
#include "dictsort/py_sort_values.hpp"

namespace vesk::dictsort {
// Internal linkage, exactly as if written in py_dictsort.cpp, the one file
// that includes this: the compiler keeps the freedom to specialise and inline
// these for their few callers.
namespace {

// How far ahead of the row being extracted its item is asked for, how far its
// dict's key table and how far its values (see prefetch_lookups).
constexpr Py_ssize_t kItemAhead = 32;
constexpr Py_ssize_t kKeysAhead = 16;
constexpr Py_ssize_t kValueAhead = 8;

// Signal checks: every this many rows of extraction. (The general sort checks
// every so many comparisons, the key sort once per block of elements moved.)
constexpr unsigned kRowStride = 2048;

// The items of `list` in their present order, each with a new reference; the
// caller holds the list's critical section. Nothing in the walk can run
// Python code, so the list cannot change under it.
std::vector<Ref> hold_items_locked(PyObject* list) {
  std::vector<Ref> held;
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  held.reserve(static_cast<std::size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    // Let the misses of several increments overlap.
    if (i + kItemAhead < PyList_GET_SIZE(list)) {
      prefetch_for_write(PyList_GET_ITEM(list, i + kItemAhead));
    }
    held.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
  }
  return held;
}

std::vector<Ref> hold_items(PyObject* list) {
  const Locked locked(list);
  return hold_items_locked(list);
}

// The items of a large list are scattered in memory (always so once the list
// has been sorted or shuffled), and each row waits in turn for the dict, its
// key table and each value object. Asking for the dict well ahead, for the
// key table once the dict has arrived, and for the values once the table has
// arrived lets the cache misses of many rows overlap.
//
// The values are found ahead of time without a lookup, which would compare
// the column name with any key of the same hash and so could run a key's
// __eq__ (and that code could drop the very dict being read). Instead the
// dict's entries are walked, and only exact str keys are compared, natively:
// no Python code runs, and the dict is read through the list's reference with
// nothing able to run in between. The values found are used as address hints
// and nothing else (never dereferenced here). A dict of more keys than this is
// left to the real lookup: walking it could cost more than the misses saved.
constexpr Py_ssize_t kMaxScannedKeys = 32;

// Whether two exact strs are equal, `b` with the hash `b_hash`; no Python call.
// `a` is a dict's key, whose hash is kept in it already (on a free-threaded
// build the interpreter stores it with an atomic store: it is loaded so).
inline bool same_text(PyObject* a, PyObject* b, Py_hash_t b_hash) {
  if (a == b) return true;
  Py_hash_t& kept = reinterpret_cast<PyASCIIObject*>(a)->hash;
  const Py_hash_t a_hash =
      kFreeThreaded ? std::atomic_ref<Py_hash_t>(kept).load(std::memory_order_relaxed) : kept;
  if (a_hash != b_hash) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

void prefetch_values(PyObject* dict, const ColumnKeys& keys, std::span<const Py_hash_t> hashes) {
  if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) > kMaxScannedKeys) return;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  std::size_t found = 0;
  while (found < hashes.size() && PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) continue;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      if (same_text(key, keys[i], hashes[i])) {
        // A short str's bytes follow its header and may start the next line.
        prefetch_for_write(value);
        prefetch(reinterpret_cast<const char*>(value) + 63);
        ++found;
        break;
      }
    }
  }
}

// Asks for the key table of `dict`, a dict held by the caller. (Another
// thread may be replacing the table: its address is loaded atomically, and
// only asked for, never read.)
void prefetch_table(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return;
  const char* const table = reinterpret_cast<const char*>(
      std::atomic_ref<PyDictKeysObject*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)
          .load(std::memory_order_relaxed));
  prefetch(table);
  prefetch(table + 64);
  prefetch(table + 128);
}

// The look-ahead of the extraction: at row k, the item of row k + kItemAhead,
// the key table of row k + kKeysAhead and the values of row k + kValueAhead.
//
// With the interpreter lock the items ahead are read from the list as it is:
// nothing but this thread's own Python code, which runs between two steps,
// can change it. On a free-threaded build another thread may replace or
// release them at any moment, so the list is read under its critical
// section; the item of row k + kKeysAhead is taken with a reference of its
// own (only then: taking it writes to the object, which must have arrived),
// kept in a ring until the extraction has passed it, and its dict's entries
// are walked under the dict's critical section. The items that the
// extraction uses are read from the list afresh; these are only hints.
class LookAhead {
 public:
  LookAhead(PyObject* items, const ColumnKeys& keys, std::span<const Py_hash_t> hashes)
      : items_(items), keys_(keys), hashes_(hashes) {}

  void step(Py_ssize_t k) {
    if constexpr (kReadsAhead) {
      const Py_ssize_t size = PyList_GET_SIZE(items_);
      if (k + kItemAhead < size) prefetch_for_write(PyList_GET_ITEM(items_, k + kItemAhead));
      if (k + kKeysAhead < size) prefetch_table(PyList_GET_ITEM(items_, k + kKeysAhead));
      if (k + kValueAhead < size)
        prefetch_values(PyList_GET_ITEM(items_, k + kValueAhead), keys_, hashes_);
    } else {
      PyObject* ahead = nullptr;
      {
        const Locked locked(items_);
        if (k + kItemAhead < PyList_GET_SIZE(items_))
          ahead = PyList_GET_ITEM(items_, k + kItemAhead);
      }
      prefetch_for_write(ahead);  // an address only: never read here
      // The slot of row k + kKeysAhead held row k + kKeysAhead - kRing, passed.
      Ref& nearer = slot(k + kKeysAhead);
      nearer = list_item_or_null(items_, k + kKeysAhead);
      if (nearer) prefetch_table(nearer.get());
      if (const Ref& next = slot(k + kValueAhead)) {
        const Locked locked(next.get());
        prefetch_values(next.get(), keys_, hashes_);
      }
    }
  }

 private:
  static constexpr std::size_t kRing = 16;  // more than kKeysAhead - kValueAhead
  Ref& slot(Py_ssize_t position) { return ring_[static_cast<std::size_t>(position) % kRing]; }

  PyObject* items_;
  const ColumnKeys& keys_;
  std::span<const Py_hash_t> hashes_;
  std::array<Ref, kFreeThreaded ? kRing : 0> ring_;
};

// Extracts the values of every item, `emit(k, item)` storing the row of the
// (held) item at position k. Lookups can run Python code that shrinks the
// list, hence the checked fetch: the interpreter's IndexError ends the call.
// With `held`, the references to the items are kept there in list order for
// the delivery, instead of being dropped and taken again.
template <class Emit>
Status extract_rows(PyObject* items, Py_ssize_t count, const ColumnKeys& keys, std::size_t width,
                    std::vector<Ref>* held, Emit emit) {
  SignalStride<kRowStride> signals;
  if (held) held->reserve(static_cast<std::size_t>(count));
  // The column keys are exact strs: hashing them runs no Python code.
  std::vector<Py_hash_t> hashes(width);
  for (std::size_t i = 0; i < width; ++i) hashes[i] = PyObject_Hash(keys[i]);
  LookAhead ahead(items, keys, hashes);
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (Status status = signals.step(); !status) return status;
    ahead.step(k);
    Result<Item> fetched = list_item(items, k);
    if (!fetched) return fail(std::move(fetched).error());
    Ref item = std::move(*fetched).take();
    emit(static_cast<std::size_t>(k), item.get());
    if (held) held->push_back(std::move(item));
  }
  return {};
}

// Sorted positions must be a permutation of 0 .. count - 1 before anything is
// stored; checked without touching any object.
template <class PositionAt>
void check_permutation(std::size_t count, PositionAt position_at) {
  std::vector<bool> seen(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t position = position_at(k);
    if (position >= count || seen[position]) {
      internal_failure("sorted positions are not a permutation");
    }
    seen[position] = true;
  }
}

// Hands the sorted items over, `position_at(k)` being the list position of the
// row sorted to place k. The objects taken are those in the list now, after
// the sort: a change that kept the length goes unnoticed. The list is read
// (and written) under its critical section, where its length is checked
// again: on a free-threaded build another thread may have changed it since.
//
// New list: `held` has the references taken at extraction, in list order;
// where the list still holds exactly those objects (the rule), they move into
// the result as they are, so no item is touched again. Otherwise the list's
// present items are taken afresh.
//
// In place: the list's own slots are permuted. The list holds the same
// objects before and after, so no reference count changes, nothing is
// released and no Python code can run between reading the slots and writing
// the last one; no signal is checked in between either.
template <class PositionAt>
Result<Ref> deliver(PyObject* items, Py_ssize_t count, bool inplace, std::vector<Ref>& held,
                    PositionAt position_at) {
  if (PyList_GET_SIZE(items) != count) return fail(Error::value_error("list modified during sort"));
  const auto size = static_cast<std::size_t>(count);
  check_permutation(size, position_at);
  bool modified = false;
  bool unchanged = held.size() == size;
  std::vector<Ref> present;
  {
    const Locked locked(items);
    modified = PyList_GET_SIZE(items) != count;
    if (modified) {
      // Checked again below, outside the critical section.
    } else if (inplace) {
      PyObject** const slots = reinterpret_cast<PyListObject*>(items)->ob_item;
      const std::vector<PyObject*> before(slots, slots + size);
      for (std::size_t k = 0; k < size; ++k) store_slot(slots[k], before[position_at(k)]);
    } else {
      for (std::size_t k = 0; unchanged && k < size; ++k) {
        unchanged = PyList_GET_ITEM(items, static_cast<Py_ssize_t>(k)) == held[k].get();
      }
      if (!unchanged) present = hold_items_locked(items);
    }
  }
  if (modified) return fail(Error::value_error("list modified during sort"));
  if (inplace) return new_none();
  // Releasing the old references can run Python code; what is delivered is
  // already held.
  if (!unchanged) held.swap(present);
  Ref list = new_list(count);
  for (std::size_t k = 0; k < size; ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), held[position_at(k)].release());
  }
  return list;
}

}  // namespace
}  // namespace vesk::dictsort

// backfill: None values of a list replaced by the latest value before them.
#include <vector>

#include "binding/critical.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {

Result<Ref> backfill_body(BoundArgs& args) {
  Result<PyObject*> values = argument("values", check_list(args[0]));
  if (!values) return fail(std::move(values).error());
  PyObject* const list = *values;
  // Signal handlers are Python code and may change the list, and so may
  // other threads on a free-threaded build: items are read with bounds
  // checks, or from a copy (see ListItems), and each one is held from the
  // moment it is read.
  const ListItems items(list);
  const Py_ssize_t n = items.size();
  if (n == 0) return new_list(0);

  SignalStride<> signals;
  Ref first_value;
  for (Py_ssize_t j = 0; j < n && !first_value; ++j) {
    Result<Item> item = items[j];
    if (!item) return fail(std::move(item).error());
    if (item->get() != Py_None) first_value = std::move(*item).take();
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  if (!first_value) return Ref::borrow(list);

  std::vector<Ref> filled;
  filled.reserve(static_cast<std::size_t>(n));
  PyObject* fill = first_value.get();  // held by `first_value` or by `filled`
  for (Py_ssize_t j = 0; j < n; ++j) {
    Result<Item> item = items[j];
    if (!item) return fail(std::move(item).error());
    if (item->get() != Py_None) fill = item->get();
    filled.push_back(Ref::borrow(fill));
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  return list_of(filled);
}

}  // namespace vesk::iter

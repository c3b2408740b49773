#include <array>
#include <string_view>

#include "binding/once.hpp"
#include "binding/to_python.hpp"

namespace vesk {

PyObject* interned(Name name) {
  static constexpr std::array<std::string_view, 5> kTexts = {"__name__", "__all__", "__module__",
                                                             "__qualname__", "add_note"};
  static std::array<ProcessCell, kTexts.size()> cells;
  const auto index = static_cast<std::size_t>(name);
  Result<PyObject*> value = cells[index].get([index]() -> Result<Ref> {
    PyObject* text = new_text(kTexts[index]).release();
    PyUnicode_InternInPlace(&text);
    return Ref::steal(text);
  });
  return *value;  // filling an interned name either succeeds or throws
}

}  // namespace vesk

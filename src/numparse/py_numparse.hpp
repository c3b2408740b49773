// Python-facing bodies of the numparse functions (see src/lib/functions.cpp).
#pragma once

#include "binding/bind.hpp"

namespace vesk::numparse {

Result<Ref> parse_body(BoundArgs& args);
Result<Ref> normalize_numeric_str_body(BoundArgs& args);

}  // namespace vesk::numparse

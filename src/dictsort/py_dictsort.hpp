// Python-facing bodies of the dictsort functions (see src/lib/functions.cpp).
#pragma once

#include "binding/bind.hpp"

namespace vesk::dictsort {

Result<Ref> multikeysort_body(BoundArgs& args);

}  // namespace vesk::dictsort

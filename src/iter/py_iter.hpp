// Python-facing bodies of the iter functions (see src/lib/functions.cpp).
#pragma once

#include "binding/bind.hpp"

namespace vesk::iter {

Result<Ref> collapse_body(BoundArgs& args);
Result<Ref> backfill_body(BoundArgs& args);
Result<Ref> backfill_iterdict_body(BoundArgs& args);
Result<Ref> same_order_body(BoundArgs& args);

}  // namespace vesk::iter

// Python-facing bodies of the text functions (see src/lib/functions.cpp).
#pragma once

#include "binding/bind.hpp"

namespace vesk::text {

Result<Ref> sanitize_vulgar_string_body(BoundArgs& args);
Result<Ref> uncamel_body(BoundArgs& args);
Result<Ref> underscore_to_camelcase_body(BoundArgs& args);

}  // namespace vesk::text

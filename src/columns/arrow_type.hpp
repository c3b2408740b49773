// The types of imported Arrow schemas: the ones the engine reads, and the
// names that Arrow users read for every type.
#pragma once

#include <cstdint>
#include <string>

#include "columns/arrow_abi.hpp"

namespace vesk::columns {

enum class CellKind : std::uint8_t {
  Utf8,       // "u": int32 offsets
  LargeUtf8,  // "U": int64 offsets
  View,       // "vu": 16-byte views over variadic buffers
  Null,       // "n": every cell missing
  Sequence,   // texts gathered from Python objects
};

// The integer type of a dictionary's indices.
enum class IndexType : std::uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64 };

// What the engine reads of a column: texts of one kind, plain or
// dictionary-encoded (the indices' type, and `kind` that of the values).
struct ColumnType {
  CellKind kind = CellKind::Null;
  bool encoded = false;
  IndexType index = IndexType::Int32;
};

// The column type that `schema` describes. Any other type is a ColumnFault
// of kind Type that names it (type_name); a malformed schema one of kind
// Value.
ColumnType column_type_of(const ArrowSchema& schema);

// The name of the schema's type as Arrow users read it: "int64", "double",
// "timestamp[us, tz=UTC]", "list<item: string>",
// "dictionary<values=string, indices=int32>". Nested types are named a few
// levels and fields deep; an unknown format string is given as it is.
std::string type_name(const ArrowSchema& schema);

// The name of a kind's type ("string", "large_string", ...).
std::string type_name_of(CellKind kind);

// The Arrow format string of a kind ("u", "U", "vu", "n").
const char* format_of(CellKind kind) noexcept;

}  // namespace vesk::columns

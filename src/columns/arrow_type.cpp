#include "columns/arrow_type.hpp"

#include <string_view>
#include <utility>

#include "columns/column_view.hpp"

namespace vesk::columns {
namespace {

// Nested types are named this deep, with at most this many fields each: a
// message, not a dump of whatever a producer sends.
constexpr int kNameDepth = 4;
constexpr std::int64_t kNamedFields = 8;

constexpr std::pair<std::string_view, std::string_view> kPlainNames[] = {
    {"n", "null"},
    {"b", "bool"},
    {"c", "int8"},
    {"C", "uint8"},
    {"s", "int16"},
    {"S", "uint16"},
    {"i", "int32"},
    {"I", "uint32"},
    {"l", "int64"},
    {"L", "uint64"},
    {"e", "halffloat"},
    {"f", "float"},
    {"g", "double"},
    {"z", "binary"},
    {"Z", "large_binary"},
    {"vz", "binary_view"},
    {"u", "string"},
    {"U", "large_string"},
    {"vu", "string_view"},
    {"tdD", "date32[day]"},
    {"tdm", "date64[ms]"},
    {"tts", "time32[s]"},
    {"ttm", "time32[ms]"},
    {"ttu", "time64[us]"},
    {"ttn", "time64[ns]"},
    {"tiM", "month_interval"},
    {"tiD", "day_time_interval"},
    {"tin", "month_day_nano_interval"},
};

std::string_view unit_of(char code) {
  switch (code) {
    case 's':
      return "s";
    case 'm':
      return "ms";
    case 'u':
      return "us";
    case 'n':
      return "ns";
    default:
      return {};
  }
}

std::string name_of(const ArrowSchema* schema, int depth);

// "name: type" of a child field.
std::string field_of(const ArrowSchema* schema, int depth) {
  if (schema == nullptr) return "?";
  std::string field = schema->name != nullptr ? schema->name : "";
  field += ": ";
  field += name_of(schema, depth);
  return field;
}

std::string children_of(const ArrowSchema& schema, int depth) {
  if (schema.children == nullptr || schema.n_children <= 0) return {};
  std::string out;
  for (std::int64_t k = 0; k < schema.n_children; ++k) {
    if (k > 0) out += ", ";
    if (k == kNamedFields) {
      out += "...";
      break;
    }
    out += field_of(schema.children[k], depth);
  }
  return out;
}

std::string format_name(const ArrowSchema& schema, std::string_view f, int depth) {
  for (const auto& [code, name] : kPlainNames)
    if (f == code) return std::string(name);
  if (f.starts_with("d:")) {  // d:precision,scale[,bits]
    std::string_view rest = f.substr(2);
    std::string bits = "128";
    const std::size_t first = rest.find(',');
    const std::size_t second = first == std::string_view::npos ? first : rest.find(',', first + 1);
    if (second != std::string_view::npos) {
      bits = rest.substr(second + 1);
      rest = rest.substr(0, second);
    }
    std::string numbers(rest);
    if (first != std::string_view::npos) numbers.insert(first + 1, " ");
    return "decimal" + bits + "(" + numbers + ")";
  }
  if (f.starts_with("w:")) return "fixed_size_binary[" + std::string(f.substr(2)) + "]";
  if (f.size() >= 3 && f.starts_with("ts") && !unit_of(f[2]).empty()) {
    std::string name = "timestamp[" + std::string(unit_of(f[2]));
    if (f.size() > 4 && f[3] == ':') name += ", tz=" + std::string(f.substr(4));
    return name + "]";
  }
  if (f.size() == 3 && f.starts_with("tD") && !unit_of(f[2]).empty())
    return "duration[" + std::string(unit_of(f[2])) + "]";
  if (depth >= kNameDepth) return "...";
  const bool has_child = schema.children != nullptr && schema.n_children >= 1;
  const std::string child = has_child ? field_of(schema.children[0], depth + 1) : "?";
  if (f == "+l") return "list<" + child + ">";
  if (f == "+L") return "large_list<" + child + ">";
  if (f == "+vl") return "list_view<" + child + ">";
  if (f == "+vL") return "large_list_view<" + child + ">";
  if (f.starts_with("+w:"))
    return "fixed_size_list<" + child + ">[" + std::string(f.substr(3)) + "]";
  if (f == "+s") return "struct<" + children_of(schema, depth + 1) + ">";
  if (f == "+m") return "map<" + children_of(schema, depth + 1) + ">";
  if (f == "+r") return "run_end_encoded<" + children_of(schema, depth + 1) + ">";
  if (f.starts_with("+ud:")) return "dense_union<" + children_of(schema, depth + 1) + ">";
  if (f.starts_with("+us:")) return "sparse_union<" + children_of(schema, depth + 1) + ">";
  return std::string(f);
}

std::string name_of(const ArrowSchema* schema, int depth) {
  if (schema == nullptr || schema->format == nullptr) return "?";
  const std::string name = format_name(*schema, schema->format, depth);
  if (schema->dictionary == nullptr) return name;
  if (depth >= kNameDepth) return "dictionary<...>";
  return "dictionary<values=" + name_of(schema->dictionary, depth + 1) + ", indices=" + name + ">";
}

// Whether a format string is that of a plain number type (integers,
// floating point, decimals).
bool is_number(std::string_view f) {
  constexpr std::string_view kNumbers[] = {"c", "C", "s", "S", "i", "I", "l", "L", "e", "f", "g"};
  for (const std::string_view code : kNumbers)
    if (f == code) return true;
  return f.starts_with("d:");
}

[[noreturn]] void unsupported(const ArrowSchema& schema) {
  // A column of numbers is the commonest mistake (a column parsed already,
  // or read as numbers by a CSV reader): said so plainly.
  const bool numbers = schema.dictionary == nullptr && is_number(schema.format);
  throw ColumnFault(ColumnFault::Kind::Type,
                    "unsupported Arrow type '" + type_name(schema) +
                        "' (expected string, large_string or string_view, plain or "
                        "dictionary-encoded)" +
                        (numbers ? ": the column holds numbers already" : ""));
}

bool text_kind(std::string_view f, CellKind& kind) {
  if (f == "u") {
    kind = CellKind::Utf8;
  } else if (f == "U") {
    kind = CellKind::LargeUtf8;
  } else if (f == "vu") {
    kind = CellKind::View;
  } else if (f == "n") {
    kind = CellKind::Null;
  } else {
    return false;
  }
  return true;
}

bool index_type(std::string_view f, IndexType& index) {
  constexpr std::pair<std::string_view, IndexType> kIndexTypes[] = {
      {"c", IndexType::Int8},   {"C", IndexType::UInt8},  {"s", IndexType::Int16},
      {"S", IndexType::UInt16}, {"i", IndexType::Int32},  {"I", IndexType::UInt32},
      {"l", IndexType::Int64},  {"L", IndexType::UInt64},
  };
  for (const auto& [code, type] : kIndexTypes) {
    if (f == code) {
      index = type;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string type_name(const ArrowSchema& schema) {
  return name_of(&schema, 0);
}

ColumnType column_type_of(const ArrowSchema& schema) {
  if (schema.format == nullptr) value_fault("Arrow schema: the format string is missing");
  ColumnType type;
  if (schema.dictionary == nullptr) {
    if (!text_kind(schema.format, type.kind)) unsupported(schema);
  } else {
    const ArrowSchema& values = *schema.dictionary;
    if (values.format == nullptr)
      value_fault("Arrow schema: the dictionary's format string is missing");
    if (values.dictionary != nullptr || !index_type(schema.format, type.index) ||
        !text_kind(values.format, type.kind)) {
      unsupported(schema);
    }
    if (values.n_children != 0)
      value_fault("Arrow schema of a dictionary of a string type has children");
    type.encoded = true;
  }
  if (schema.n_children != 0) value_fault("Arrow schema of a string type has children");
  return type;
}

std::string type_name_of(CellKind kind) {
  ArrowSchema schema{};
  schema.format = format_of(kind);
  return type_name(schema);
}

const char* format_of(CellKind kind) noexcept {
  switch (kind) {
    case CellKind::Utf8:
    case CellKind::Sequence:
      return "u";
    case CellKind::LargeUtf8:
      return "U";
    case CellKind::View:
      return "vu";
    default:
      return "n";
  }
}

}  // namespace vesk::columns

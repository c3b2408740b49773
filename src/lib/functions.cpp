// The ten functions of the module, in registration order (the order of
// __all__). The binder, the registration and _vesk.pyi all follow this table.
#include "lib/functions.hpp"

#include "dictsort/py_dictsort.hpp"
#include "iter/py_iter.hpp"
#include "numparse/py_numparse.hpp"
#include "text/py_text.hpp"

namespace vesk {
namespace {

constexpr const char* kParseDoc =
    "parse(s)\n"
    "--\n"
    "\n"
    "Extract number from string.\n"
    "\n"
    "Args:\n"
    "    s: String to parse.\n"
    "\n"
    "Returns:\n"
    "    Parsed int or float, or None if parsing fails.\n"
    "\n"
    "Examples:\n"
    "    >>> parse('1,200m')\n"
    "    1200\n"
    "    >>> parse('100.0')\n"
    "    100.0\n"
    "    >>> parse('(1)')\n"
    "    -1";

constexpr const char* kNormalizeNumericStrDoc =
    "normalize_numeric_str(s)\n"
    "--\n"
    "\n"
    "Strip accounting and thousands formatting from a numeric string.\n"
    "\n"
    "Applies the shared formatting rules without coercing to a type, so the\n"
    "caller keeps its own int/float policy. Commas are dropped, surrounding\n"
    "parentheses become a leading minus, and a trailing percent sign is\n"
    "removed rather than divided by 100.\n"
    "\n"
    "Args:\n"
    "    s: String to normalize.\n"
    "\n"
    "Returns:\n"
    "    The normalized string, or None when nothing is left to convert.\n"
    "\n"
    "Examples:\n"
    "    >>> normalize_numeric_str('1,234.56')\n"
    "    '1234.56'\n"
    "    >>> normalize_numeric_str('(50%)')\n"
    "    '-50'\n"
    "    >>> normalize_numeric_str('  (  )  ')";

constexpr const char* kMultikeysortDoc =
    "multikeysort(items, columns, inplace=False)\n"
    "--\n"
    "\n"
    "Sort list of dictionaries by multiple keys.\n"
    "\n"
    "Uses pre-extracted values for O(n) extraction instead of O(n log n).\n"
    "\n"
    "Args:\n"
    "    items: List of dictionaries to sort.\n"
    "    columns: List of column names (prefix with '-' for descending).\n"
    "    inplace: If True, sort in place; otherwise return new sorted list.\n"
    "\n"
    "Returns:\n"
    "    Sorted list if inplace=False, otherwise None.";

constexpr const char* kSanitizeVulgarStringDoc =
    "sanitize_vulgar_string(s)\n"
    "--\n"
    "\n"
    "Replace vulgar fractions with decimal equivalents.\n"
    "\n"
    "Converts number and vulgar fraction combinations to number and decimal.\n"
    "\n"
    "Args:\n"
    "    s: String containing vulgar fractions.\n"
    "\n"
    "Returns:\n"
    "    String with fractions converted to decimals.\n"
    "\n"
    "Examples:\n"
    "    >>> sanitize_vulgar_string(\"Foo-Bar+Baz: 17s 4\u00be 1 \u215b 20 93\u00be - 94\u215b\")\n"
    "    'Foo-Bar+Baz: 17s 4.75 1.125 20 93.75 - 94.125'\n"
    "    >>> sanitize_vulgar_string(\"\u2153 cup\")\n"
    "    '0.333333 cup'";

constexpr const char* kUncamelDoc =
    "uncamel(camel)\n"
    "--\n"
    "\n"
    "Convert camelCase to snake_case.\n"
    "\n"
    "Args:\n"
    "    camel: CamelCase string.\n"
    "\n"
    "Returns:\n"
    "    snake_case string.\n"
    "\n"
    "Examples:\n"
    "    >>> uncamel('CamelCase')\n"
    "    'camel_case'\n"
    "    >>> uncamel('CamelCamelCase')\n"
    "    'camel_camel_case'\n"
    "    >>> uncamel('getHTTPResponseCode')\n"
    "    'get_http_response_code'";

constexpr const char* kUnderscoreToCamelcaseDoc =
    "underscore_to_camelcase(s)\n"
    "--\n"
    "\n"
    "Convert underscore_delimited_text to camelCase.\n"
    "\n"
    "Args:\n"
    "    s: Underscore-delimited string.\n"
    "\n"
    "Returns:\n"
    "    camelCase string.\n"
    "\n"
    "Examples:\n"
    "    >>> underscore_to_camelcase('foo_bar_baz')\n"
    "    'fooBarBaz'\n"
    "    >>> underscore_to_camelcase('FOO_BAR')\n"
    "    'fooBar'\n"
    "    >>> underscore_to_camelcase('_foo_bar')\n"
    "    'fooBar'";

constexpr const char* kCollapseDoc =
    "collapse(*args)\n"
    "--\n"
    "\n"
    "Recursively flatten nested lists/tuples into a single list.\n"
    "\n"
    "Args:\n"
    "    args: Items to collapse (can be nested lists/tuples).\n"
    "\n"
    "Returns:\n"
    "    Flattened list of items.\n"
    "\n"
    "Examples:\n"
    "    >>> collapse([['a', ['b', ('c', 'd')]], -2, -1, [0, 1]])\n"
    "    ['a', 'b', 'c', 'd', -2, -1, 0, 1]";

constexpr const char* kBackfillDoc =
    "backfill(values)\n"
    "--\n"
    "\n"
    "Back-fill a sorted array with the latest value.\n"
    "\n"
    "Args:\n"
    "    values: List of values (may contain None).\n"
    "\n"
    "Returns:\n"
    "    List with None values replaced by the most recent non-None value.\n"
    "\n"
    "Examples:\n"
    "    >>> backfill([None, None, 1, 2, 3, None, 4])\n"
    "    [1, 1, 1, 2, 3, 3, 4]";

constexpr const char* kBackfillIterdictDoc =
    "backfill_iterdict(iterdict)\n"
    "--\n"
    "\n"
    "Back-fill a sorted iterdict with the latest values.\n"
    "\n"
    "Args:\n"
    "    iterdict: List of dicts with possibly None values.\n"
    "\n"
    "Returns:\n"
    "    List of dicts with None values replaced by most recent non-None values per key.\n"
    "\n"
    "Examples:\n"
    "    >>> backfill_iterdict([{'a': 1, 'b': None}, {'a': 4, 'b': 2}, {'a': None, 'b': None}])\n"
    "    [{'a': 1, 'b': 2}, {'a': 4, 'b': 2}, {'a': 4, 'b': 2}]";

constexpr const char* kSameOrderDoc =
    "same_order(ref_list, comp)\n"
    "--\n"
    "\n"
    "Compare two lists and check if elements in ref appear in same order in comp.\n"
    "\n"
    "Args:\n"
    "    ref_list: Reference list of elements.\n"
    "    comp: Comparison list to check order against.\n"
    "\n"
    "Returns:\n"
    "    True if all ref elements appear in comp in the same relative order.\n"
    "\n"
    "Examples:\n"
    "    >>> same_order(['x', 'y', 'z'], ['x', 'a', 'b', 'y', 'd', 'z'])\n"
    "    True\n"
    "    >>> same_order(['x', 'y', 'z'], ['x', 'z', 'y'])\n"
    "    False";

}  // namespace

const FunctionEntry kFunctions[kFunctionCount] = {
    {.signature = {.name = "parse", .params = {"s"}, .param_count = 1, .required = 1},
     .doc = kParseDoc,
     .body = &numparse::parse_body},
    {.signature =
         {.name = "normalize_numeric_str", .params = {"s"}, .param_count = 1, .required = 1},
     .doc = kNormalizeNumericStrDoc,
     .body = &numparse::normalize_numeric_str_body},
    {.signature = {.name = "multikeysort",
                   .params = {"items", "columns", "inplace"},
                   .param_count = 3,
                   .required = 2},
     .doc = kMultikeysortDoc,
     .body = &dictsort::multikeysort_body},
    {.signature =
         {.name = "sanitize_vulgar_string", .params = {"s"}, .param_count = 1, .required = 1},
     .doc = kSanitizeVulgarStringDoc,
     .body = &text::sanitize_vulgar_string_body},
    {.signature = {.name = "uncamel", .params = {"camel"}, .param_count = 1, .required = 1},
     .doc = kUncamelDoc,
     .body = &text::uncamel_body},
    {.signature =
         {.name = "underscore_to_camelcase", .params = {"s"}, .param_count = 1, .required = 1},
     .doc = kUnderscoreToCamelcaseDoc,
     .body = &text::underscore_to_camelcase_body},
    {.signature = {.name = "collapse", .variadic = true},
     .doc = kCollapseDoc,
     .body = &iter::collapse_body},
    {.signature = {.name = "backfill", .params = {"values"}, .param_count = 1, .required = 1},
     .doc = kBackfillDoc,
     .body = &iter::backfill_body},
    {.signature =
         {.name = "backfill_iterdict", .params = {"iterdict"}, .param_count = 1, .required = 1},
     .doc = kBackfillIterdictDoc,
     .body = &iter::backfill_iterdict_body},
    {.signature =
         {.name = "same_order", .params = {"ref_list", "comp"}, .param_count = 2, .required = 2},
     .doc = kSameOrderDoc,
     .body = &iter::same_order_body},
};

}  // namespace vesk

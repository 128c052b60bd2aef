#pragma once
// Reading back the Python literals that query results are shown in ("[(1, 'Rock',
// Decimal('0.99'), datetime.date(2024, 1, 5))]") as typed JSON, for callers that want data
// rather than text: numbers stay numbers, None is null, dates and times become ISO 8601 texts,
// durations a number of seconds, bytes base64 text, tuples and lists arrays, dicts records.

#include "veltaai/core/value.h"

#include <string_view>

namespace veltaai {

// The value of one Python literal expression. Decimal('...') becomes a number, float('nan') and
// the infinities null. Anything that is not such a literal (a name, an operator, text after the
// value) is a ValueError saying where.
Value parse_python_literal(std::string_view text);

}  // namespace veltaai

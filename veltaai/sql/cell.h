#pragma once
// One typed value of a result row: null, truth value, integer, exact decimal (kept as the
// server's text), float, text, bytes, date, time of day, timestamp or interval. Rows keep these
// types so that results can be shown as Python literals and handed to hosts unconverted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace veltaai::sql {

struct Decimal {
    std::string text;  // as the server wrote it: "0.99", "-1234.50", "NaN"
    bool operator==(const Decimal&) const = default;
};

struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
};

struct Date {
    int year = 1, month = 1, day = 1;
    bool operator==(const Date&) const = default;
};

struct Time {
    int hour = 0, minute = 0, second = 0, microsecond = 0;
    std::optional<int> utc_offset_seconds;  // set for values that carry a time zone
    bool operator==(const Time&) const = default;
};

struct Timestamp {
    Date date;
    Time time;
    bool operator==(const Timestamp&) const = default;
};

// A length of time, normalised like Python's timedelta: microseconds in [0, 86400e6), days signed.
struct Interval {
    std::int64_t days = 0;
    std::int64_t microseconds = 0;
    static Interval from_microseconds(std::int64_t days, std::int64_t microseconds);
    bool operator==(const Interval&) const = default;
};

using Cell = std::variant<std::monostate, bool, std::int64_t, Decimal, double, std::string, Bytes, Date, Time,
                          Timestamp, Interval>;

using Row = std::vector<Cell>;

inline bool is_null(const Cell& cell) {
    return std::holds_alternative<std::monostate>(cell);
}

// The Python literal of a cell, as Python's repr writes it: None, True, 42, Decimal('0.99'),
// 1.5, 'text', b'\x00', datetime.date(2024, 1, 5), datetime.datetime(2024, 1, 5, 10, 30),
// datetime.timedelta(days=1, seconds=7200). Texts and bytes longer than max_length (0: no
// limit) are cut there and end with "...(truncated)" inside the quotes.
std::string python_literal(const Cell& cell, std::size_t max_length = 0);

// The plain text of a cell as Python's str() writes it: None, True, 0.99, 2024-01-05 10:30:00,
// 1 day, 2:00:00. Used where values are shown in tables rather than pasted as code.
std::string display_text(const Cell& cell);

// The marker that ends a cut text or bytes literal.
inline constexpr std::string_view kTruncationMarker = "...(truncated)";

// Parsers shared by the drivers for the ISO forms servers write. Each returns nothing when the
// text is not in that form (the driver then keeps the value as text).
std::optional<Date> parse_date(std::string_view text);
// "10:30:00", "10:30:00.5", "10:30:00+02", "10:30:00-05:30".
std::optional<Time> parse_time(std::string_view text, bool with_zone);
// "2024-01-05 10:30:00[.ffffff][+zz[:zz]]" (a 'T' in place of the blank is accepted too).
std::optional<Timestamp> parse_timestamp(std::string_view text, bool with_zone);

}  // namespace veltaai::sql

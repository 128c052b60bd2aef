// Query results shown as Python literals read back as typed JSON: every cell kind as the SQL
// layer renders it, whole result texts, and text that is not a literal.
#include "veltaai/core/errors.h"
#include "veltaai/core/python_literal.h"
#include "veltaai/sql/cell.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veltaai {
namespace {

Value read_cell(const sql::Cell& cell) {
    return parse_python_literal(sql::python_literal(cell));
}

TEST(LiteralReader, EveryCellKindReadsBackAsTypedJson) {
    EXPECT_EQ(read_cell(sql::Cell{}), Value());
    EXPECT_EQ(read_cell(true), Value(true));
    EXPECT_EQ(read_cell(std::int64_t{-42}), Value(-42));
    EXPECT_EQ(read_cell(sql::Decimal{"0.99"}), Value(0.99));
    EXPECT_EQ(read_cell(sql::Decimal{"12"}), Value(12.0));
    EXPECT_EQ(read_cell(2.5), Value(2.5));
    EXPECT_EQ(read_cell(1e-05), Value(1e-05));
    EXPECT_EQ(read_cell(std::nan("")), Value()) << "JSON has no NaN";
    EXPECT_EQ(read_cell(-HUGE_VAL), Value());
    EXPECT_EQ(read_cell(std::string("it's \"quoted\"\n\ttab \\ é ✓")),
              Value("it's \"quoted\"\n\ttab \\ é ✓"));
    EXPECT_EQ(read_cell(std::string("\x01 control")), Value("\x01 control"));
    EXPECT_EQ(read_cell(sql::Bytes{std::string("\x00\xff"
                                               "ab'",
                                               5)}),
              Value("AP9hYic="));
    EXPECT_EQ(read_cell(sql::Date{2024, 1, 5}), Value("2024-01-05"));
    sql::Time t;
    t.hour = 9;
    t.minute = 5;
    t.second = 7;
    t.microsecond = 250000;
    EXPECT_EQ(read_cell(t), Value("09:05:07.250000"));
    t.utc_offset_seconds = -5 * 3600 - 1800;
    EXPECT_EQ(read_cell(t), Value("09:05:07.250000-05:30"));
    sql::Timestamp ts;
    ts.date = {1999, 12, 31};
    ts.time.hour = 23;
    ts.time.minute = 59;
    EXPECT_EQ(read_cell(ts), Value("1999-12-31T23:59:00"));
    EXPECT_EQ(read_cell(sql::Interval::from_microseconds(1, 90'500'000)), Value(86400 + 90.5));
    EXPECT_EQ(read_cell(sql::Interval::from_microseconds(0, 0)), Value(0));
}

TEST(LiteralReader, WholeResultsAndWhatIsNotALiteral) {
    EXPECT_EQ(parse_python_literal("[(1, 'Rock', Decimal('0.99')), (2, None, datetime.date(2024, 1, 5))]"),
              Value::parse(R"([[1, "Rock", 0.99], [2, null, "2024-01-05"]])"));
    EXPECT_EQ(parse_python_literal("[('Rock',)]"), Value::parse(R"([["Rock"]])")) << "one-element tuples";
    EXPECT_EQ(parse_python_literal("[{'Name': 'Rock', 'n': 1297}, {'Name': \"Rock 'n' Roll\", 'n': 12}]"),
              Value::parse(R"([{"Name": "Rock", "n": 1297}, {"Name": "Rock 'n' Roll", "n": 12}])"));
    EXPECT_EQ(parse_python_literal("  []  "), Value::array());
    for (const char* bad :
         {"", "[1, 2", "[1] extra", "os.system('x')", "[1 + 2]", "'open", "{1: 2}", "[@]"}) {
        EXPECT_THROW(parse_python_literal(bad), ValueError) << bad;
    }
}

}  // namespace
}  // namespace veltaai

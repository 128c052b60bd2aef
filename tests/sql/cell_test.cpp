// Typed cells as Python literals and plain text, and the date/time parsers the drivers share.
#include "veltaai/sql/cell.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veltaai::sql {
namespace {

TEST(PythonLiteral, ScalarsReadAsPythonWritesThem) {
    EXPECT_EQ(python_literal(Cell{}), "None");
    EXPECT_EQ(python_literal(true), "True");
    EXPECT_EQ(python_literal(std::int64_t{-3}), "-3");
    EXPECT_EQ(python_literal(Decimal{"0.99"}), "Decimal('0.99')");
    EXPECT_EQ(python_literal(1.0), "1.0");
    EXPECT_EQ(python_literal(1e100), "1e+100");
    EXPECT_EQ(python_literal(0.1), "0.1");
    EXPECT_EQ(python_literal(std::nan("")), "float('nan')");
    EXPECT_EQ(python_literal(-HUGE_VAL), "float('-inf')");
    EXPECT_EQ(python_literal(std::string("Rock")), "'Rock'");
    EXPECT_EQ(python_literal(std::string("it's")), "\"it's\"");
    EXPECT_EQ(python_literal(std::string("a\nb\\")), "'a\\nb\\\\'");
    EXPECT_EQ(python_literal(Bytes{std::string("\x00\xff"
                                               "A'",
                                               4)}),
              "b\"\\x00\\xffA'\"");
    EXPECT_EQ(python_literal(Bytes{}), "b''");
}

TEST(PythonLiteral, DatesTimesAndIntervalsOmitZeroTailsLikeRepr) {
    EXPECT_EQ(python_literal(Date{2024, 1, 5}), "datetime.date(2024, 1, 5)");
    EXPECT_EQ(python_literal(Time{10, 30, 0, 0, {}}), "datetime.time(10, 30)");
    EXPECT_EQ(python_literal(Time{10, 30, 0, 500000, {}}), "datetime.time(10, 30, 0, 500000)");
    EXPECT_EQ(python_literal(Time{10, 30, 5, 0, 7200}),
              "datetime.time(10, 30, 5, tzinfo=datetime.timezone(datetime.timedelta(seconds=7200)))");
    EXPECT_EQ(python_literal(Timestamp{{2024, 1, 5}, {0, 0, 0, 0, {}}}),
              "datetime.datetime(2024, 1, 5, 0, 0)");
    EXPECT_EQ(python_literal(Timestamp{{2024, 1, 5}, {10, 30, 0, 0, 0}}),
              "datetime.datetime(2024, 1, 5, 10, 30, tzinfo=datetime.timezone.utc)");
    EXPECT_EQ(python_literal(Timestamp{{2024, 1, 5}, {10, 30, 0, 0, -3600}}),
              "datetime.datetime(2024, 1, 5, 10, 30, tzinfo=datetime.timezone(datetime.timedelta(days=-1, "
              "seconds=82800)))");
    EXPECT_EQ(python_literal(Interval{}), "datetime.timedelta(0)");
    EXPECT_EQ(python_literal(Interval::from_microseconds(1, 7'200'500'000)),
              "datetime.timedelta(days=1, seconds=7200, microseconds=500000)");
    // Negative lengths keep their seconds positive, with the sign on the days.
    EXPECT_EQ(python_literal(Interval::from_microseconds(0, -1)),
              "datetime.timedelta(days=-1, seconds=86399, microseconds=999999)");
}

TEST(PythonLiteral, LongValuesAreCutVisiblyOnCharacterBoundaries) {
    const std::string long_text(1000, 'x');
    EXPECT_EQ(python_literal(long_text, 300),
              "'" + std::string(300, 'x') + std::string(kTruncationMarker) + "'");
    EXPECT_EQ(python_literal(std::string(300, 'y'), 300), "'" + std::string(300, 'y') + "'");
    // Three two-byte characters cut after two: no half character is left behind.
    EXPECT_EQ(python_literal(std::string("\xc3\xa9\xc3\xa9\xc3\xa9"), 2),
              "'\xc3\xa9\xc3\xa9" + std::string(kTruncationMarker) + "'");
    EXPECT_EQ(python_literal(Bytes{"abcdef"}, 2), "b'ab" + std::string(kTruncationMarker) + "'");
    EXPECT_EQ(python_literal(long_text, 0).size(), 1002u);
}

TEST(DisplayText, MatchesPythonStr) {
    EXPECT_EQ(display_text(Cell{}), "None");
    EXPECT_EQ(display_text(Decimal{"12.50"}), "12.50");
    EXPECT_EQ(display_text(Timestamp{{1999, 12, 31}, {23, 59, 59, 123456, {}}}),
              "1999-12-31 23:59:59.123456");
    EXPECT_EQ(display_text(Timestamp{{2024, 1, 5}, {10, 30, 0, 0, 19800}}), "2024-01-05 10:30:00+05:30");
    EXPECT_EQ(display_text(Interval::from_microseconds(1, 7'200'500'000)), "1 day, 2:00:00.500000");
    EXPECT_EQ(display_text(Interval::from_microseconds(-1, 0)), "-1 day, 0:00:00");
    EXPECT_EQ(display_text(Interval::from_microseconds(2, 0)), "2 days, 0:00:00");
}

TEST(Parsers, AcceptServerFormsAndRejectWhatPythonCannotHold) {
    EXPECT_EQ(parse_date("2024-01-05"), (Date{2024, 1, 5}));
    EXPECT_FALSE(parse_date("2024-13-01"));
    EXPECT_FALSE(parse_date("0044-03-15 BC"));
    EXPECT_FALSE(parse_date("infinity"));
    EXPECT_EQ(parse_time("10:30:00.5", false), (Time{10, 30, 0, 500000, {}}));
    EXPECT_EQ(parse_time("10:30:00-05:30", true), (Time{10, 30, 0, 0, -19800}));
    EXPECT_FALSE(parse_time("24:00:00", false));
    EXPECT_FALSE(parse_time("10:30:00+02", false));
    EXPECT_EQ(parse_timestamp("2024-01-05T10:30:00+00", true), (Timestamp{{2024, 1, 5}, {10, 30, 0, 0, 0}}));
    EXPECT_EQ(parse_timestamp("1999-12-31 23:59:59.1234567", false),
              (Timestamp{{1999, 12, 31}, {23, 59, 59, 123456, {}}}));
    EXPECT_FALSE(parse_timestamp("2024-01-05", false));
}

}  // namespace
}  // namespace veltaai::sql

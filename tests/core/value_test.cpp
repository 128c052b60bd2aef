#include "veltaai/core/value.h"
#include "veltaai/core/errors.h"

#include <gtest/gtest.h>

namespace veltaai {
namespace {

TEST(Truthiness, FollowsTheUsualSense) {
    EXPECT_FALSE(is_truthy(Value()));
    EXPECT_FALSE(is_truthy(Value(false)));
    EXPECT_TRUE(is_truthy(Value(true)));
    EXPECT_FALSE(is_truthy(Value(0)));
    EXPECT_FALSE(is_truthy(Value(0.0)));
    EXPECT_TRUE(is_truthy(Value(-1)));
    EXPECT_TRUE(is_truthy(Value(0.5)));
    EXPECT_FALSE(is_truthy(Value("")));
    EXPECT_TRUE(is_truthy(Value("0")));
    EXPECT_FALSE(is_truthy(Value::array()));
    EXPECT_TRUE(is_truthy(Value::array({1})));
    EXPECT_FALSE(is_truthy(Value::object()));
    EXPECT_TRUE(is_truthy(Value::object({{"a", nullptr}})));
}

TEST(TextList, WritesPythonQuoting) {
    EXPECT_EQ(text_list(std::vector<std::string>{"SELECT 1"}), "['SELECT 1']");
    EXPECT_EQ(text_list(std::vector<std::string>{}), "[]");
    EXPECT_EQ(text_list(Value::array({"a", "b"})), "['a', 'b']");
    // A single quote alone switches to double quotes; both kinds keep single quotes and escape.
    EXPECT_EQ(text_list(Value::array({"it's"})), "[\"it's\"]");
    EXPECT_EQ(text_list(Value::array({"it's \"x\""})), "['it\\'s \"x\"']");
    EXPECT_EQ(text_list(Value::array({"SELECT *\nFROM t"})), "['SELECT *\\nFROM t']");
    EXPECT_EQ(text_list(Value::array({"a\\b"})), "['a\\\\b']");
    EXPECT_THROW(text_list(Value("x")), TypeError);
}

TEST(ShortestDecimal, MatchesPythonFloatText) {
    EXPECT_EQ(shortest_decimal(2.5), "2.5");
    EXPECT_EQ(shortest_decimal(0.8731234073638916), "0.8731234073638916");
    EXPECT_EQ(shortest_decimal(3.0), "3.0");
    EXPECT_EQ(shortest_decimal(0.0), "0.0");
    EXPECT_EQ(shortest_decimal(0.0001), "0.0001");
    EXPECT_EQ(shortest_decimal(0.00001), "1e-05");
    EXPECT_EQ(shortest_decimal(123456.789), "123456.789");
    EXPECT_EQ(shortest_decimal(1e16), "1e+16");
    EXPECT_EQ(shortest_decimal(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(shortest_decimal(-0.25), "-0.25");
}

TEST(RequireKey, ReportsTheMissingKey) {
    const Value record = {{"a", 1}};
    EXPECT_EQ(require_key(record, "a"), 1);
    try {
        require_key(record, "b");
        FAIL() << "expected KeyError";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "b");
    }
    EXPECT_THROW(require_key(Value::array(), "a"), TypeError);
}

// One renderer for every place that shows a value as Python would: prompts, the service's
// configuration line and the database utilities' settings.
TEST(PythonForm, ReprAndStrWriteWhatPythonWrites) {
    const Value record =
        Value::parse(R"({"model": "GPT-3.5", "temperature": 0.7, "ok": true, "n": 3, "none": null,
                                          "list": ["it's", 1.0, -2, 1e16, 0.0001, 1e-5], "big": 18446744073709551615})");
    EXPECT_EQ(python_repr(record),
              "{'model': 'GPT-3.5', 'temperature': 0.7, 'ok': True, 'n': 3, 'none': None, "
              "'list': [\"it's\", 1.0, -2, 1e+16, 0.0001, 1e-05], 'big': 18446744073709551615}");
    EXPECT_EQ(python_str("a 'b'"), "a 'b'");
    EXPECT_EQ(python_repr("a 'b'"), "\"a 'b'\"");
    EXPECT_EQ(python_str(Value::array({"x"})), "['x']");
    EXPECT_EQ(python_str(nullptr), "None");
    EXPECT_EQ(python_str(2.5), "2.5");
    EXPECT_EQ(python_str(false), "False");
}

}  // namespace
}  // namespace veltaai

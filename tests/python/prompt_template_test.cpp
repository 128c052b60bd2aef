#include "veltaai/llm/prompt_template.h"
#include "veltaai/core/process.h"
#include "veltaai/querygraph/querygraph_prompts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace veltaai;
using namespace veltaai::llm;
using namespace veltaai::querygraph;

namespace {

// What Debian's Jinja2, driven directly by /usr/bin/python3, makes of a template.
std::string reference_render(std::string_view source, const Value& variables) {
    const auto dir = std::filesystem::temp_directory_path() / ("veltaai-jinja-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "template") << source;
    std::ofstream(dir / "variables.json") << variables.dump();
    const std::string script =
        "import json, sys, jinja2\n"
        "d = sys.argv[1]\n"
        "t = open(d + '/template').read()\n"
        "v = json.load(open(d + '/variables.json'))\n"
        "open(d + '/out', 'w').write(jinja2.Environment().from_string(t).render(**v))\n";
    const auto status = process::run({"/usr/bin/python3", "-c", script, dir.string()});
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    std::stringstream out;
    out << std::ifstream(dir / "out").rdbuf();
    std::filesystem::remove_all(dir);
    return out.str();
}

Value pairs(int count, const std::string& first, const std::string& second) {
    Value list = Value::array();
    for (int i = 1; i <= count; ++i) {
        list.push_back(Value::array(
            {first + std::to_string(i), second + " 'quoted' <" + std::to_string(i) + ">\nline"}));
    }
    return list;
}

}  // namespace

TEST(SingleBrace, ReplacesNamesAndRejectsMissingOnes) {
    EXPECT_EQ(format_single_brace("{a} and {a}, {b}.", {{"a", "x"}, {"b", "y"}, {"unused", 1}}),
              "x and x, y.");
    try {
        format_single_brace("{user_question} in {table_names_from_db}", {{"user_question", "q"}});
        FAIL() << "missing variable accepted";
    } catch (const KeyError& error) {
        EXPECT_EQ(error.key(), "table_names_from_db");
    }
    EXPECT_EQ(format_single_brace("{{literal}} {v}", {{"v", "{not a name}"}}), "{literal} {not a name}");
    EXPECT_THROW(format_single_brace("open { brace", Value::object()), ValueError);
    EXPECT_THROW(format_single_brace("close } brace", Value::object()), ValueError);
}

TEST(SingleBrace, ValuesThatAreNotTextsUseTheirTextForm) {
    const Value variables = {{"n", 5},    {"f", 2.5},         {"none", nullptr},
                             {"t", true}, {"list", {"a", 1}}, {"rec", {{"k", "it's"}}}};
    EXPECT_EQ(format_single_brace("{n}|{f}|{none}|{t}|{list}|{rec}", variables),
              "5|2.5|None|True|['a', 1]|{'k': \"it's\"}");
}

TEST(Catalogue, SingleBraceTemplatesRender) {
    const std::string prefix = format_single_brace(std::string(SQL_PREFIX), {{"dialect", "mysql"}});
    EXPECT_EQ(prefix.find("{dialect}"), std::string::npos);
    EXPECT_NE(prefix.find("<Dialect>mysql</Dialect>"), std::string::npos);
    EXPECT_NE(prefix.find("Use correct syntax for mysql."), std::string::npos);
    EXPECT_EQ(prefix.front(), '\n');
    EXPECT_EQ(prefix.back(), '\n');
    // The tail is appended unrendered: formatting it would trip over its JSON braces.
    EXPECT_NE(
        std::string(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE).find("{\"relevant_tables\": [\"TABLE_NAME_1\""),
        std::string::npos);
    EXPECT_THROW(
        format_single_brace(std::string(GET_RELEVANT_TABLE_NAMES_TEMPLATE), {{"user_question", "q"}}),
        KeyError);
}

TEST(Jinja2Templates, PairTemplatesMatchJinja2ByteForByte) {
    for (const int count : {0, 1, 3}) {
        const Value correct = {{"user_question", "Top 'artists'?"},
                               {"schemas_from_relevant_tables", "CREATE TABLE \"Artist\" (id INT)"},
                               {"zipped_queries_errors", pairs(count, "SELECT ", "error")}};
        const std::string rendered =
            PromptTemplate(std::string(CORRECT_SQL_TEMPLATE), TemplateStyle::jinja2).format(correct);
        EXPECT_EQ(rendered, reference_render(CORRECT_SQL_TEMPLATE, correct)) << count << " pairs";
        EXPECT_EQ(rendered.find("<query index=\"" + std::to_string(count + 1) + "\">"), std::string::npos);
        if (count > 0) {
            EXPECT_NE(rendered.find("<query index=\"" + std::to_string(count) + "\">"), std::string::npos);
        }

        const Value human = {{"original_question", "Sales by year"},
                             {"zipped_queries_results", pairs(count, "SELECT ", "[(1, Decimal('0.99'))]")}};
        EXPECT_EQ(PromptTemplate(std::string(PANDAS_HUMAN_TEMPLATE), TemplateStyle::jinja2).format(human),
                  reference_render(PANDAS_HUMAN_TEMPLATE, human))
            << count << " pairs";
    }
}

TEST(Jinja2Templates, PandasSystemTemplateKeepsItsCode) {
    const std::string rendered = PromptTemplate(std::string(PANDAS_SYSTEM_TEMPLATE), TemplateStyle::jinja2)
                                     .format({{"save_path", "/tmp/media"}});
    EXPECT_NE(rendered.find("save it in /tmp/media - matplotlib"), std::string::npos);
    EXPECT_NE(rendered.find("df[column] = df[column].fillna(\"\")  # Example: fill categorical with mode"),
              std::string::npos);
    EXPECT_NE(rendered.find("intelligent ag\nent."), std::string::npos);
    // Jinja2's default drops the final line break.
    EXPECT_EQ(rendered.substr(rendered.size() - 12), " code block.");
}

TEST(ChatPrompt, FormatsEveryMessageWithItsStyleAndChatRole) {
    const ChatPromptTemplate prompt(
        {{"system", PromptTemplate("Dialect {dialect}")},
         {"human", PromptTemplate("{{ q }} in {{ dialect }}", TemplateStyle::jinja2)},
         {"ai", PromptTemplate("ok")}});
    const ChatMessages messages = prompt.format_messages({{"dialect", "sqlite"}, {"q", "How many?"}});
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], ChatMessage::system("Dialect sqlite"));
    EXPECT_EQ(messages[1], ChatMessage::user("How many? in sqlite"));
    EXPECT_EQ(messages[2], ChatMessage::assistant("ok"));
    EXPECT_THROW(prompt.format_messages({{"q", "x"}}), KeyError);
    EXPECT_THROW(prompt.format_messages(Value::array()), TypeError);
}

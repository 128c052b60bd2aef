// The relevant-table picker over the Chinook file and the chat stub: where its catalogue is
// found, how YAML is read, the tools it builds and the request it sends.
#include "stubs/chat_stub.h"
#include "tests/sql/test_servers.h"
#include "veltaai/core/log.h"
#include "veltaai/function_calling/base.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veltaai::function_calling {
namespace {

namespace fs = std::filesystem;

const std::string kCatalogueTail = "function_calling/prompt/relevant_table.yaml";
const std::string kIntro = "Here is the list table name, you can choose from: ";

std::shared_ptr<querygraph::CustomSQLDatabase> chinook() {
    return querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
}

AzureOpenAIChat35 config_for(const stubs::ChatStub& stub) {
    return AzureOpenAIChat35{stub.azure_endpoint(), "picker-key", "2024-02-01", "gpt35-picker"};
}

class ScratchDir {
public:
    ScratchDir() : path_(fs::temp_directory_path() / ("picker-" + std::to_string(::getpid()))) {
        fs::create_directories(path_);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    fs::path write(const std::string& name, const std::string& text) const {
        const fs::path file = path_ / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
        return file;
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

Value description_of(const Value& tools) {
    return tools[0]["function"]["parameters"]["properties"]["relevant_tables"]["description"];
}
Value enum_of(const Value& tools) {
    return tools[0]["function"]["parameters"]["properties"]["relevant_tables"]["items"]["properties"]["table_name"]["enum"];
}

TEST(Catalogue, FoundBesideTheLibraryOrWhereTheDataDirectorySays) {
    const fs::path found = RELEVANT_TABLES_PATH;
    EXPECT_TRUE(found.is_absolute());
    EXPECT_TRUE(fs::exists(found)) << found;
    EXPECT_TRUE(found.string().ends_with(kCatalogueTail)) << found;
    EXPECT_EQ(get_relevant_tables_path(), RELEVANT_TABLES_PATH);

    ScratchDir scratch;
    ::setenv("VELTAAI_DATA_DIR", scratch.path().c_str(), 1);
    const std::string overridden = get_relevant_tables_path();
    ::unsetenv("VELTAAI_DATA_DIR");
    EXPECT_EQ(overridden, (scratch.path() / kCatalogueTail).string());
    EXPECT_EQ(get_relevant_tables_path(), RELEVANT_TABLES_PATH);  // the constant did not move

    const Value tools = get_tool_revant_tables();
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0]["type"], "function");
    EXPECT_EQ(tools[0]["function"]["name"], "select_relevant_tables");
    EXPECT_TRUE(description_of(tools).is_string());
    EXPECT_TRUE(enum_of(tools).is_array());
    // The entries the model returns are table names, not records.
    EXPECT_EQ(tools[0]["function"]["parameters"]["properties"]["relevant_tables"]["items"]["type"], "string");
}

TEST(LoadYaml, ResolvesStandardTypesAndKeepsQuotedTextAsText) {
    ScratchDir scratch;
    const auto file = scratch.write("types.yaml", R"(
plain: words here
quoted_number: "42"
quoted_bool: 'yes'
integer: 42
negative: -7
hex: 0x1F
octal: 017
number: 2.5
exponent: 1.0e+3
infinite: -.inf
yes_word: yes
off_word: Off
nothing: ~
empty:
date: 2024-01-05
forced_text: !!str 12
forced_float: !!float 3
list: [1, "two", [3]]
3: numeric key
folded: >-
  one
  two
)");
    const Value doc = load_yaml(file.string());
    EXPECT_EQ(doc["plain"], "words here");
    EXPECT_EQ(doc["quoted_number"], "42");
    EXPECT_EQ(doc["quoted_bool"], "yes");
    EXPECT_EQ(doc["integer"], 42);
    EXPECT_TRUE(doc["integer"].is_number_integer());
    EXPECT_EQ(doc["negative"], -7);
    EXPECT_EQ(doc["hex"], 31);
    EXPECT_EQ(doc["octal"], 15);
    EXPECT_DOUBLE_EQ(doc["number"].get<double>(), 2.5);
    EXPECT_DOUBLE_EQ(doc["exponent"].get<double>(), 1000.0);
    EXPECT_TRUE(std::isinf(doc["infinite"].get<double>()) && doc["infinite"].get<double>() < 0);
    EXPECT_EQ(doc["yes_word"], true);
    EXPECT_EQ(doc["off_word"], false);
    EXPECT_TRUE(doc["nothing"].is_null());
    EXPECT_TRUE(doc["empty"].is_null());
    EXPECT_EQ(doc["date"], "2024-01-05");
    EXPECT_EQ(doc["forced_text"], "12");
    EXPECT_TRUE(doc["forced_float"].is_number_float());
    EXPECT_EQ(doc["list"], Value::parse(R"([1, "two", [3]])"));
    EXPECT_EQ(doc["3"], "numeric key");
    EXPECT_EQ(doc["folded"], "one two");
}

TEST(LoadYaml, RefusesWhatASafeLoaderRefuses) {
    ScratchDir scratch;
    EXPECT_THROW(load_yaml(scratch.write("object.yaml", "x: !!python/object:os.system {}\n").string()), ValueError);
    EXPECT_THROW(load_yaml(scratch.write("custom.yaml", "x: !shout hello\n").string()), ValueError);
    EXPECT_THROW(load_yaml(scratch.write("badint.yaml", "x: !!int twelve\n").string()), ValueError);
    EXPECT_THROW(load_yaml(scratch.write("two.yaml", "a: 1\n---\nb: 2\n").string()), ValueError);
    EXPECT_THROW(load_yaml(scratch.write("broken.yaml", "a: [1, 2\n").string()), ValueError);
    EXPECT_THROW(load_yaml((scratch.path() / "missing.yaml").string()), Error);
    EXPECT_TRUE(load_yaml(scratch.write("empty.yaml", "").string()).is_null());
}

TEST(PickerTools, EachCallStartsFromTheCatalogueAndListsExactlyTheGivenTables) {
    stubs::ChatStub stub;
    RelevantTablePicker picker(config_for(stub), chinook());
    EXPECT_EQ(picker.model_name(), "gpt35-picker");
    EXPECT_EQ(picker.client().timeout(), std::chrono::seconds(240));

    const std::string original = description_of(get_tool_revant_tables());
    const Value first = picker.get_tools({"Track", "Album", "Artist"});
    const std::string schemas = picker.schema_info_tool().db()->get_table_info({"Track", "Album", "Artist"});
    EXPECT_EQ(description_of(first), original + kIntro + "Track, Album, Artist.\nAnd the schema from all tables: " + schemas);
    EXPECT_NE(schemas.find("CREATE TABLE Album ("), std::string::npos) << schemas;
    EXPECT_EQ(enum_of(first), Value::parse(R"(["Track", "Album", "Artist"])"));

    const Value second = picker.get_tools({"Genre"});
    const std::string text = description_of(second);
    EXPECT_EQ(text.find("Track"), std::string::npos) << "appended text accumulated";
    EXPECT_TRUE(text.starts_with(original + kIntro + "Genre.\n"));
    EXPECT_EQ(enum_of(second), Value::parse(R"(["Genre"])"));

    EXPECT_THROW(picker.get_tools({"NoSuchTable"}), ValueError);  // the schema tool's error passes through
    EXPECT_THROW(RelevantTablePicker(config_for(stub), nullptr), ValueError);
}

TEST(PickerInvoke, ForcesTheToolCallAndReturnsItsArguments) {
    stubs::ChatStub stub(Value::array({{{"match", {{"tool", "select_relevant_tables"}}},
                                        {"tool_call", {{"name", "select_relevant_tables"},
                                                       {"arguments", {{"relevant_tables", {"Album", "Artist"}}}}}}}}));
    RelevantTablePicker picker(config_for(stub), chinook());

    std::ostringstream logged;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(logged);
    log::get("veltaai")->sinks().push_back(sink);
    const log::Level before = log::level();
    log::set_level(log::Level::debug);

    Value state = {{"user_question", "Which artist has the most albums?"}, {"table_names_from_db", "Album, Artist,Genre"}};
    graph::StateView view(state);
    const Value args = picker.invoke(view);

    log::set_level(before);
    log::get("veltaai")->sinks().pop_back();

    EXPECT_EQ(args, Value::parse(R"({"relevant_tables": ["Album", "Artist"]})"));
    ASSERT_EQ(stub.request_count(), 1u);
    const auto request = stub.requests()[0];
    EXPECT_EQ(request.path, "/openai/deployments/gpt35-picker/chat/completions");
    EXPECT_EQ(request.query, "api-version=2024-02-01");
    EXPECT_EQ(request.header("api-key"), "picker-key");
    const Value& body = request.body;
    EXPECT_EQ(body["model"], "gpt35-picker");
    EXPECT_EQ(body["messages"], Value::parse(R"([{"role": "user", "content": "Which artist has the most albums?"}])"));
    EXPECT_EQ(body["tool_choice"], Value::parse(R"({"type": "function", "function": {"name": "select_relevant_tables"}})"));
    EXPECT_EQ(body["temperature"], 0.0);
    EXPECT_EQ(body["max_tokens"], 800);
    EXPECT_EQ(body["top_p"], 0.95);
    EXPECT_EQ(body["frequency_penalty"], 0);
    EXPECT_EQ(body["presence_penalty"], 0);
    EXPECT_FALSE(body.contains("stop"));
    // Split at ", " only: the bare comma keeps "Artist,Genre" as one allowed name.
    EXPECT_EQ(enum_of(body["tools"]), Value::parse(R"(["Album", "Artist,Genre"])"));

    const std::string log_text = logged.str();
    EXPECT_NE(log_text.find("Tools: [{\"type\":\"function\""), std::string::npos) << log_text;
    EXPECT_NE(log_text.find("Function_args: {\"relevant_tables\":[\"Album\",\"Artist\"]}"), std::string::npos) << log_text;
}

TEST(PickerInvoke, FailuresEndTheCall) {
    stubs::ChatStub stub(Value::array({
        {{"match", {{"contains", "plain"}}}, {"content", "Album and Artist"}},
        {{"match", {{"contains", "garbled"}}}, {"tool_call", {{"name", "select_relevant_tables"}, {"arguments", "{not json"}}}},
        {{"match", {{"contains", "listed"}}}, {"tool_call", {{"name", "select_relevant_tables"}, {"arguments", "[1, 2]"}}}},
        {{"match", {{"contains", "refused"}}}, {"status", 401}, {"error", "bad key"}},
        {{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", Value::array()}}}}}},
    }));
    RelevantTablePicker picker(config_for(stub), chinook());
    const auto ask = [&](Value state) {
        graph::StateView view(state);
        return picker.invoke(view);
    };
    const auto with_question = [](const std::string& question) {
        return Value{{"user_question", question}, {"table_names_from_db", "Album"}};
    };
    EXPECT_THROW(ask(with_question("plain")), ModelServiceError);
    EXPECT_THROW(ask(with_question("garbled")), ModelServiceError);
    EXPECT_THROW(ask(with_question("listed")), ModelServiceError);
    EXPECT_THROW(ask(with_question("refused")), ModelServiceError);
    EXPECT_THROW(ask(Value{{"user_question", "q"}}), KeyError);
    EXPECT_THROW(ask(Value{{"table_names_from_db", Value::array({"Album"})}}), TypeError);
    EXPECT_EQ(stub.request_count(), 4u);  // the last two fail before any request

    // No question: the user message is empty, and the call still goes out.
    EXPECT_EQ(ask(Value{{"table_names_from_db", "Album"}}), Value::parse(R"({"relevant_tables": []})"));
    EXPECT_EQ(stub.requests().back().body["messages"][0]["content"], "");
}

}  // namespace
}  // namespace veltaai::function_calling

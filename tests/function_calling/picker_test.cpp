// The relevant-table picker over the Chinook file and the chat stub: its catalogue, YAML
// reading, the tools it builds and the forced call it sends.
#include "tests/function_calling/picker_request.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace veltaai::function_calling {
namespace {

namespace fs = std::filesystem;

RelevantTablePicker chinook_picker(const stubs::ChatStub& stub) {
    return stub_picker(stub,
                       querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()));
}

TEST(LoadYaml, StandardTypesOnly) {
    const fs::path file = fs::temp_directory_path() / ("picker-" + std::to_string(::getpid()) + ".yaml");
    const auto load = [&](const std::string& text) {
        std::ofstream(file) << text;
        return load_yaml(file.string());
    };
    EXPECT_EQ(
        load("text: a b\nquoted: '42'\nint: 42\nhex: 0x1F\nreal: 2.5\nyes_word: yes\nnone: ~\nempty:\n"
             "date: 2024-01-05\nforced: !!str 12\nlist: [1, \"two\"]\n3: key\n"),
        Value::parse(R"({"text": "a b", "quoted": "42", "int": 42, "hex": 31, "real": 2.5, "yes_word": true,
                               "none": null, "empty": null, "date": "2024-01-05", "forced": "12",
                               "list": [1, "two"], "3": "key"})"));
    for (const char* refused : {"x: !!python/object:os.system {}\n", "x: !shout hi\n", "x: !!int twelve\n",
                                "a: 1\n---\nb: 2\n", "a: [1, 2\n"}) {
        EXPECT_THROW(load(refused), ValueError) << refused;
    }
    fs::remove(file);
    EXPECT_THROW(load_yaml(file.string()), Error);
}

TEST(PickerTools, EachCallStartsFromTheCatalogue) {
    EXPECT_TRUE(fs::path(RELEVANT_TABLES_PATH).is_absolute());
    ::setenv("VELTAAI_DATA_DIR", "/opt/data", 1);
    EXPECT_EQ(get_relevant_tables_path(), "/opt/data/function_calling/prompt/relevant_table.yaml");
    ::unsetenv("VELTAAI_DATA_DIR");
    const Value catalogue = get_tool_revant_tables();
    EXPECT_EQ(catalogue[0]["function"]["name"], "select_relevant_tables");
    EXPECT_EQ(catalogue.at(kParameter)["items"]["type"], "string");  // entries are names, not records

    stubs::ChatStub stub;
    RelevantTablePicker picker = chinook_picker(stub);
    const std::string original = catalogue.at(kParameter)["description"];
    const std::string schemas = picker.schema_info_tool().db()->get_table_info({"Track", "Album"});
    ASSERT_NE(schemas.find("CREATE TABLE Album ("), std::string::npos);

    const Value first = picker.get_tools({"Track", "Album"});
    EXPECT_EQ(first.at(kParameter)["description"],
              original + "Here is the list table name, you can choose from: " +
                  "Track, Album.\nAnd the schema from all tables: " + schemas);
    EXPECT_EQ(first.at(kAllowed), Value::parse(R"(["Track", "Album"])"));

    const Value second = picker.get_tools({"Genre"});
    EXPECT_EQ(second.at(kParameter)["description"].get<std::string>().find("Track"), std::string::npos);
    EXPECT_EQ(second.at(kAllowed), Value::parse(R"(["Genre"])"));
    EXPECT_THROW(picker.get_tools({"NoSuchTable"}), ValueError);
}

TEST(PickerInvoke, ForcesTheToolAndReturnsItsArguments) {
    const auto call = [](const char* arguments) {
        return Value{{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", arguments}}}};
    };
    stubs::ChatStub stub(Value::array({call(R"({"relevant_tables": ["Album", "Artist"]})"), call("{not json"),
                                       call("[1, 2]"), Value{{"content", "Album and Artist"}}}));
    RelevantTablePicker picker = chinook_picker(stub);
    const auto ask = [&](Value state) {
        graph::StateView view(state);
        return picker.invoke(view);
    };

    EXPECT_EQ(ask({{"user_question", "Top artists?"}, {"table_names_from_db", "Album, Artist,Genre"}}),
              Value::parse(R"({"relevant_tables": ["Album", "Artist"]})"));
    const auto request = stub.requests().at(0);
    EXPECT_EQ(request.path, "/openai/deployments/gpt35/chat/completions");
    Value sent = request.body;
    // Split at ", " only: "Artist,Genre" stays one allowed name.
    EXPECT_EQ(sent["tools"].at(kAllowed), Value::parse(R"(["Album", "Artist,Genre"])"));
    sent.erase("tools");
    EXPECT_EQ(sent,
              Value::parse(R"({"model": "gpt35", "messages": [{"role": "user", "content": "Top artists?"}],
        "tool_choice": {"type": "function", "function": {"name": "select_relevant_tables"}},
        "temperature": 0.0, "max_tokens": 800, "top_p": 0.95, "frequency_penalty": 0.0, "presence_penalty": 0.0})"));

    const Value no_question = {{"table_names_from_db", "Album"}};
    EXPECT_THROW(ask(no_question), ModelServiceError);  // arguments that are not JSON
    EXPECT_THROW(ask(no_question), ModelServiceError);  // a list, not a record
    EXPECT_THROW(ask(no_question), ModelServiceError);  // no tool call at all
    EXPECT_EQ(stub.requests().at(1).body["messages"][0]["content"], "");
    EXPECT_THROW(ask({{"user_question", "q"}}), KeyError);
    EXPECT_EQ(stub.request_count(), 4u);
}

TEST(RelevantTablePicker, CallsTheModelAsTheGraphsOptionsSay) {
    stubs::ChatStub stub(Value::array(
        {{{"tool_call",
           {{"name", "select_relevant_tables"}, {"arguments", R"({"relevant_tables": ["Album"]})"}}}}}));
    querygraph::QueryGraphOptions options;
    options.picker_max_tokens = 123;
    options.top_p = 0.5;
    RelevantTablePicker picker(
        AzureOpenAIChat35{stub.azure_endpoint(), "picker-key", "2024-02-01", "gpt35"},
        querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()), options);
    Value state = {{"user_question", "Albums?"}, {"table_names_from_db", "Album"}};
    graph::StateView view(state);
    picker.invoke(view);
    const Value sent = stub.requests().at(0).body;
    EXPECT_EQ(sent["max_tokens"], 123);
    EXPECT_EQ(sent["top_p"], 0.5);
    EXPECT_EQ(sent["temperature"], 0.0);
}

}  // namespace
}  // namespace veltaai::function_calling

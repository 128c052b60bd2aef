// The prompts that carry schemas on a database too large to show whole: Chinook plus a
// thousand distractor tables through the real picker, rewrite and SQL nodes against the chat
// stub, and on Chinook alone the very requests the nodes sent before budgets existed.
#include "tests/custom_sql/large_schema.h"
#include "stubs/stub_models.h"
#include "tests/function_calling/picker_request.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/schema_budget.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/postgres.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace veltaai::function_calling {
namespace {

namespace fs = std::filesystem;

// The requests Chinook's prompts gave before budgets: the picker's, the rewrite's and the SQL
// generation's bodies for one question.
fs::path golden_requests() {
    const char* source = std::getenv("VELTAAI_SOURCE_DIR");
    return fs::path(source ? source : ".") / "tests" / "fixtures" / "chinook_prompt_requests.json";
}

Value call_of(const char* name, Value arguments) {
    return {{"tool_call", {{"name", name}, {"arguments", std::move(arguments)}}}};
}

class PromptRequests : public ::testing::Test {
protected:
    std::shared_ptr<llm::ChatModel> model() { return stubs::openai_model(stub); }
    RelevantTablePicker picker(std::shared_ptr<querygraph::CustomSQLDatabase> db) {
        return stub_picker(stub, std::move(db));
    }

    // The three requests of one question: picker, rewrite, SQL generation (from the schemas of
    // the tables the picker chose).
    std::vector<stubs::RecordedRequest> ask(const std::shared_ptr<querygraph::CustomSQLDatabase>& db,
                                            const std::string& question, const Value& chosen) {
        stub.clear_requests();
        stub.add_reply(call_of("select_relevant_tables", {{"relevant_tables", chosen}}));
        stub.add_reply({{"structured", {{"rewritten_question", question}}}});
        stub.add_reply({{"structured", {{"sql_query", "SELECT 1"}}}});
        std::string listed;
        for (const std::string& name : db->get_usable_table_names())
            listed += (listed.empty() ? "" : ", ") + name;
        Value record = {
            {"user_question", question}, {"table_names_from_db", listed}, {"rewritten_question", ""}};
        graph::StateView state(record);
        RelevantTablePicker tables = picker(db);
        const Value picked = tables.invoke(state);
        record["relevant_tables"] = picked.at("relevant_tables");
        querygraph::RewriteQuery(db, model()).invoke(state);
        const Value schemas = querygraph::RelevantSchemas(db).invoke(state);
        for (const auto& [key, value] : schemas.items()) record[key] = value;
        querygraph::SQLGeneration(db, model()).invoke(state);
        return stub.requests();
    }

    stubs::ChatStub stub;
};

TEST_F(PromptRequests, ChinookRequestsAreThoseOfAnUnbudgetedPrompt) {
    auto db = querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
    const auto requests = ask(db, "Which five artists have the most tracks?", {"Artist", "Album", "Track"});
    ASSERT_EQ(requests.size(), 3u);
    Value bodies = Value::array();
    for (const stubs::RecordedRequest& request : requests) bodies.push_back(request.body_text);
    if (std::getenv("VELTAAI_WRITE_GOLDEN")) {
        std::ofstream(golden_requests()) << bodies.dump(2) << "\n";
        GTEST_SKIP() << "wrote " << golden_requests();
    }
    std::ifstream file(golden_requests());
    ASSERT_TRUE(file) << golden_requests();
    std::stringstream text;
    text << file.rdbuf();
    const Value golden = Value::parse(text.str());
    ASSERT_EQ(golden.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bodies[i], golden[i]) << "request " << i;
}

// The text between two markers of a prompt; empty when either is missing.
std::string between(const std::string& text, const std::string& open, const std::string& close) {
    const std::size_t start = text.find(open);
    if (start == std::string::npos) return {};
    const std::size_t stop = text.find(close, start + open.size());
    return stop == std::string::npos ? std::string()
                                     : text.substr(start + open.size(), stop - start - open.size());
}

class LargeDatabase : public PromptRequests {
protected:
    static void SetUpTestSuite() {
        path_ = new fs::path(fs::temp_directory_path() /
                             ("veltaai-budget-" + std::to_string(::getpid()) + ".sqlite"));
        testing::build_large_chinook(*path_, 1000);
    }
    static void TearDownTestSuite() {
        fs::remove(*path_);
        delete path_;
    }
    static std::shared_ptr<querygraph::CustomSQLDatabase> open(querygraph::DatabaseOptions options = {}) {
        return querygraph::CustomSQLDatabase::from_uri("sqlite:///" + path_->string(), options);
    }
    static fs::path* path_;
};
fs::path* LargeDatabase::path_ = nullptr;

TEST_F(LargeDatabase, EveryNeededTableIsShownAndEveryPromptKeepsItsBudget) {
    auto db = open();
    const std::size_t total = db->get_usable_table_names().size();
    ASSERT_EQ(total, 1011u);
    const querygraph::PromptBudgets budgets;
    for (const testing::NeededTables& needed : testing::chinook_questions()) {
        Value chosen = Value::array();
        for (const std::string& table : needed.tables) chosen.push_back(table);
        const auto requests = ask(db, needed.question, chosen);
        ASSERT_EQ(requests.size(), 3u) << needed.question;

        // The picker: a request within budget whose allowed names hold every needed table.
        const stubs::RecordedRequest& picker = requests[0];
        EXPECT_LE(querygraph::estimated_tokens(picker.body_text), budgets.picker_tokens) << needed.question;
        const Value tools = picker.body.at("tools");
        const Value& allowed = tools.at(kAllowed);
        EXPECT_LT(allowed.size(), total);
        for (const std::string& table : needed.tables) {
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), Value(table)), allowed.end())
                << needed.question << ": " << table << " not offered";
        }
        const std::string description = tools.at(kParameter)["description"];
        EXPECT_NE(description.find("The database has 1011 tables, too many to show them all: only the " +
                                   std::to_string(allowed.size()) +
                                   " tables most related to the question are shown here."),
                  std::string::npos);
        // The first tables offered are shown with their schema and rows, not only named.
        EXPECT_NE(description.find("rows from " + allowed[0].get<std::string>() + " table:"),
                  std::string::npos);

        // The rewrite: its schemas within their budget, opening with the same kind of note.
        const std::string rewrite = requests[1].body.at("messages")[0]["content"];
        const std::string all =
            between(rewrite, "<schemas_database>\n        ", "\n      </schemas_database>");
        ASSERT_FALSE(all.empty()) << rewrite.substr(0, 400);
        EXPECT_LE(querygraph::estimated_tokens(all), budgets.rewrite_tokens);
        EXPECT_TRUE(all.starts_with("The database has 1011 tables")) << all.substr(0, 200);
        for (const std::string& table : needed.tables) EXPECT_NE(all.find(table), std::string::npos) << table;

        // SQL generation: the chosen tables in full, in the picker's order.
        const std::string user = requests[2].body.at("messages")[1]["content"];
        const std::string schemas = user.substr(user.find("Schemas_from_relevant_tables: ") + 30);
        EXPECT_LE(querygraph::estimated_tokens(schemas), budgets.sql_generation_tokens);
        EXPECT_EQ(schemas, db->get_table_info(needed.tables)) << needed.question;
    }
}

TEST_F(LargeDatabase, ShorterFormsAndTighterBudgetsStillHoldTheirLimits) {
    querygraph::DatabaseOptions options;
    options.budgets = {3000, 2000, 500};
    auto db = open(options);
    // Nothing the picker names is in the database: every table stands in, ordered by the
    // question and cut to the SQL budget.
    ::testing::internal::CaptureStderr();
    const auto requests = ask(db, "Which customers spent the most money on invoices?", {"NoSuchTable"});
    const std::string logged = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_LE(querygraph::estimated_tokens(requests[0].body_text), 3000u);
    const Value& allowed = requests[0].body.at("tools").at(kAllowed);
    for (const char* table : {"Customer", "Invoice"}) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), Value(table)), allowed.end()) << table;
    }
    const std::string rewrite = requests[1].body.at("messages")[0]["content"];
    EXPECT_LE(querygraph::estimated_tokens(
                  between(rewrite, "<schemas_database>\n        ", "\n      </schemas_database>")),
              2000u);
    const std::string user = requests[2].body.at("messages")[1]["content"];
    const std::string schemas = user.substr(user.find("Schemas_from_relevant_tables: ") + 30);
    EXPECT_LE(querygraph::estimated_tokens(schemas), 500u);
    EXPECT_NE(schemas.find("Customer"), std::string::npos) << schemas.substr(0, 300);
    EXPECT_NE(logged.find("exceed the SQL prompt's budget"), std::string::npos) << logged;

    // The forms, each shorter than the one before; the full one is the schema tool's block.
    const std::string full = db->table_form("Album", querygraph::TableForm::full);
    EXPECT_EQ(full, db->get_table_info({"Album"}));
    EXPECT_EQ(db->table_form("Album", querygraph::TableForm::without_rows),
              full.substr(0, full.find("\n\n/*")));
    EXPECT_EQ(db->table_form("Album", querygraph::TableForm::columns), "Album(AlbumId, Title, ArtistId)");
    EXPECT_EQ(db->table_form("Album", querygraph::TableForm::name), "Album");
    EXPECT_THROW(db->table_form("NoSuchTable", querygraph::TableForm::name), ValueError);

    // Ranked: Customer's neighbours follow it, and every table appears once.
    const std::vector<std::string> ranked = db->ranked_table_names("support representative of each customer");
    EXPECT_EQ(ranked.size(), 1011u);
    EXPECT_EQ(std::set<std::string>(ranked.begin(), ranked.end()).size(), 1011u);
    const auto at = [&](const char* name) {
        return std::find(ranked.begin(), ranked.end(), name) - ranked.begin();
    };
    EXPECT_LT(at("Customer"), 40);
    EXPECT_LT(at("Employee"), 60) << "Customer's foreign key joins Employee";
}

TEST_F(LargeDatabase, RefreshRebuildsTheRankingOfAChangedDatabase) {
    const fs::path copy =
        fs::temp_directory_path() / ("veltaai-budget-copy-" + std::to_string(::getpid()) + ".sqlite");
    fs::copy_file(*path_, copy, fs::copy_options::overwrite_existing);
    auto db = querygraph::CustomSQLDatabase::from_uri("sqlite:///" + copy.string());
    EXPECT_NE(db->ranked_table_names("zeppelin hangar").front(), "zeppelin_hangar");
    sql::connect_sqlite(copy.string())
        ->execute("CREATE TABLE zeppelin_hangar (id INTEGER PRIMARY KEY, berth TEXT)");
    EXPECT_EQ(db->ranked_table_names("zeppelin hangar").size(), 1011u);  // cached until refresh
    db->refresh();
    EXPECT_EQ(db->ranked_table_names("zeppelin hangar").front(), "zeppelin_hangar");
    fs::remove(copy);
}

// Comments kept by the engine reach the ranking: a table found by the words of its comment or
// of a column's, where its name and columns say nothing.
void expect_comments_rank(const std::string& uri, const std::vector<sql::TableInfo>& described) {
    const auto find = [&](const std::string& name) {
        return *std::find_if(described.begin(), described.end(),
                             [&](const sql::TableInfo& t) { return t.name == name; });
    };
    EXPECT_EQ(find("zz_b").comment, "Shipments of frozen goods");
    EXPECT_EQ(find("zz_a").columns.at(1).comment, "refrigerated cargo weight");
    EXPECT_EQ(find("zz_a").comment, "");
    EXPECT_EQ(find("zz_view").comment, "") << "a view has no comment of its own";
    auto db = querygraph::CustomSQLDatabase::from_uri(uri);
    EXPECT_EQ(db->ranked_table_names("frozen shipments").front(), "zz_b");
    EXPECT_EQ(db->ranked_table_names("refrigerated cargo").front(), "zz_a");
}

TEST(EngineComments, PostgresCommentOnAndMariaDBCommentRankTables) {
    const auto servers = testing::server_env();
    ASSERT_TRUE(servers) << testing::kStartServers;
    const std::string scratch = "veltaai_comments_" + std::to_string(::getpid());
    const std::string tables =
        "CREATE TABLE zz_a (id integer PRIMARY KEY, v text); CREATE TABLE zz_b (id integer PRIMARY KEY, w "
        "text); "
        "CREATE VIEW zz_view AS SELECT id FROM zz_a;";
    {
        const auto& pg = servers->postgres;
        auto admin = sql::connect_postgres(
            {pg.host, pg.port, pg.user, pg.password, "postgres", std::chrono::seconds(5), {}});
        admin->execute("CREATE DATABASE " + scratch);
        {
            auto db = sql::connect_postgres(
                {pg.host, pg.port, pg.user, pg.password, scratch, std::chrono::seconds(5), {}});
            db->execute(tables +
                        "COMMENT ON TABLE zz_b IS 'Shipments of frozen goods'; "
                        "COMMENT ON COLUMN zz_a.v IS 'refrigerated cargo weight'");
            expect_comments_rank("postgresql://" + pg.user + ":" + pg.password + "@" + pg.host + ":" +
                                     std::to_string(pg.port) + "/" + scratch,
                                 db->describe_tables());
        }
        admin->execute("DROP DATABASE " + scratch);
    }
    {
        const auto& my = servers->mysql;
        auto admin =
            sql::connect_mysql({my.host, my.port, my.user, my.password, "", std::chrono::seconds(5), {}});
        admin->execute("CREATE DATABASE " + scratch);
        {
            auto db = sql::connect_mysql(
                {my.host, my.port, my.user, my.password, scratch, std::chrono::seconds(5), {}});
            db->execute(
                "CREATE TABLE zz_a (id integer PRIMARY KEY, v text COMMENT 'refrigerated cargo weight')");
            db->execute(
                "CREATE TABLE zz_b (id integer PRIMARY KEY, w text) COMMENT 'Shipments of frozen goods'");
            db->execute("CREATE VIEW zz_view AS SELECT id FROM zz_a");
            expect_comments_rank("mysql://" + my.user + ":" + my.password + "@" + my.host + ":" +
                                     std::to_string(my.port) + "/" + scratch,
                                 db->describe_tables());
        }
        admin->execute("DROP DATABASE " + scratch);
    }
}

}  // namespace
}  // namespace veltaai::function_calling

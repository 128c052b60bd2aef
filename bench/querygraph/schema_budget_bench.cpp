// Prompts of databases too large to show whole: for Chinook alone and among 1,000 and 10,000
// distractor tables, on SQLite and PostgreSQL, the picker's request size against its budget,
// the time of the first reflection with the ranking index, of ranking one question and of
// building the picker's tools, and the recall of the needed tables among those offered.
// PostgreSQL needs scripts/test-servers.sh start; the bench makes and then drops a scratch
// database of its own. Prints one table row per engine and size.
#include "stubs/chat_stub.h"
#include "tests/custom_sql/large_schema.h"
#include "veltaai/function_calling/base.h"
#include "veltaai/querygraph/schema_budget.h"
#include "veltaai/sql/postgres.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <utility>

namespace {

using namespace veltaai;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kScratch = "veltaai_schema_bench";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Chinook's tables as PostgreSQL DDL (keys added once every table exists), from the SQLite file.
std::string chinook_postgres_ddl() {
    auto chinook = sql::connect_sqlite(testing::chinook_sqlite(), {true, false});
    std::string tables, keys, references;
    for (const sql::TableInfo& table : chinook->describe_tables()) {
        tables += "CREATE TABLE \"" + table.name + "\" (";
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const sql::Column& column = table.columns[i];
            std::string type = column.type;
            if (type.find("CHAR") != std::string::npos)
                type = "text";
            else if (type == "DATETIME")
                type = "timestamp";
            tables += (i ? ", \"" : "\"") + column.name + "\" " + type + (column.not_null ? " NOT NULL" : "");
        }
        tables += ");";
        for (const std::string& constraint : table.constraints) {
            (constraint.starts_with("FOREIGN") ? references : keys) +=
                "ALTER TABLE \"" + table.name + "\" ADD " + constraint + ";";
        }
    }
    return tables + keys + references;
}

struct Figures {
    double reflect_ms = 0;       // first listing + reflection + index build
    double rank_ms = 0;          // one question ranked, warm
    double tools_ms = 0;         // the picker's tools for one question, warm cache of blocks
    std::size_t max_tokens = 0;  // of the picker's whole request
    std::size_t found = 0, needed = 0;
};

Figures measure(const std::string& uri) {
    Figures figures;
    stubs::ChatStub stub;
    auto db = querygraph::CustomSQLDatabase::from_uri(uri);
    auto start = Clock::now();
    const std::vector<std::string> names = db->get_usable_table_names();
    db->ranked_table_names("warm up");
    figures.reflect_ms = ms_since(start);
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
    function_calling::RelevantTablePicker picker(AzureOpenAIChat35{stub.azure_endpoint(), "k", "v", "gpt35"},
                                                 db);
    const auto& questions = testing::chinook_questions();
    for (const testing::NeededTables& needed : questions) {
        start = Clock::now();
        db->ranked_table_names(needed.question);
        figures.rank_ms += ms_since(start);
        start = Clock::now();
        picker.get_tools(names, needed.question);
        figures.tools_ms += ms_since(start);
        stub.clear_requests();
        stub.add_reply(
            {{"tool_call",
              {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", Value::array()}}}}}});
        Value record = {{"user_question", needed.question}, {"table_names_from_db", listed}};
        graph::StateView state(record);
        picker.invoke(state);
        const stubs::RecordedRequest request = stub.requests().at(0);
        figures.max_tokens = std::max(figures.max_tokens, querygraph::estimated_tokens(request.body_text));
        const Value& allowed = request.body.at("tools").at(Value::json_pointer(
            "/0/function/parameters/properties/relevant_tables/items/properties/table_name/enum"));
        for (const std::string& table : needed.tables) {
            ++figures.needed;
            const bool found = std::find(allowed.begin(), allowed.end(), Value(table)) != allowed.end();
            figures.found += found;
            if (!found) std::cerr << "not offered: " << table << " for \"" << needed.question << "\"\n";
        }
    }
    figures.rank_ms /= static_cast<double>(questions.size());
    figures.tools_ms /= static_cast<double>(questions.size());
    return figures;
}

void report(const char* engine, int tables, const Figures& f) {
    std::printf("| %s | %d | %zu | %.1f | %.2f | %.2f | %zu/%zu |\n", engine, tables, f.max_tokens,
                f.reflect_ms, f.rank_ms, f.tools_ms, f.found, f.needed);
    std::fflush(stdout);
}

}  // namespace

int main() {
    const int sizes[] = {11, 1000, 10000};
    std::printf(
        "| engine | tables | picker request tokens (max over 33 questions) | reflection + index (ms) | "
        "ranking one question (ms) | picker tools (ms) | recall |\n|---|---|---|---|---|---|---|\n");
    const fs::path file =
        fs::temp_directory_path() / ("veltaai-schema-bench-" + std::to_string(::getpid()) + ".sqlite");
    for (const int size : sizes) {
        testing::build_large_chinook(file, size - 11);
        report("SQLite", size, measure("sqlite:///" + file.string()));
    }
    fs::remove(file);

    const auto servers = testing::server_env();
    if (!servers) {
        std::cerr << testing::kStartServers << "\n";
        return 1;
    }
    const auto& pg = servers->postgres;
    auto admin = sql::connect_postgres(
        {pg.host, pg.port, pg.user, pg.password, "postgres", std::chrono::seconds(5), {}});
    const std::string uri = "postgresql://" + pg.user + ":" + pg.password + "@" + pg.host + ":" +
                            std::to_string(pg.port) + "/" + kScratch;
    for (const int size : sizes) {
        admin->execute(std::string("DROP DATABASE IF EXISTS ") + kScratch);
        admin->execute(std::string("CREATE DATABASE ") + kScratch);
        {
            auto db = sql::connect_postgres(
                {pg.host, pg.port, pg.user, pg.password, kScratch, std::chrono::seconds(5), {}});
            db->execute(chinook_postgres_ddl());
            // In batches: one transaction of 10,000 CREATE TABLEs outgrows the server's lock table.
            std::string ddl;
            int batched = 0;
            for (const std::string& statement : testing::distractor_tables(size - 11)) {
                ddl += statement + ";";
                if (++batched % 500 == 0) db->execute("BEGIN;" + std::exchange(ddl, "") + "COMMIT;");
            }
            if (!ddl.empty()) db->execute("BEGIN;" + ddl + "COMMIT;");
        }
        report("PostgreSQL", size, measure(uri));
    }
    admin->execute(std::string("DROP DATABASE IF EXISTS ") + kScratch);
    return 0;
}

// The `veltaai` program as a user runs it: a separate process, configured through environment
// variables, asking about the Chinook file with every model call answered by the chat stub
// over real HTTP, SQL run by SQLite and the analysis code by the real Python kernel.
#include "stubs/chat_stub.h"
#include "stubs/genre_question.h"
#include "stubs/service_stub.h"
#include "tests/scratch.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace veltaai {
namespace {

namespace fs = std::filesystem;

using namespace stubs::genre_question;

const std::string kCode = "rows = [('Rock', 1297)]\nprint('top genre:', rows[0][0])\n";

Value script() {
    return replies(TablePick::function_call, kCode);
}

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

class VeltaaiProgram : public ::testing::Test {
protected:
    VeltaaiProgram() : dir_("veltaai-cli") {}

    // A word for the shell, whatever it holds.
    static std::string quoted(const std::string& word) {
        std::string out = "'";
        for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }

    // Runs the program in a scratch directory (no .env there) with only env set.
    Finished run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::string command = "cd '" + dir_.path().string() + "' && env -i PATH=/usr/bin:/bin";
        for (const auto& entry : env) command += " " + quoted(entry);
        command += std::string(" '") + VELTAAI_PROGRAM + "'";
        for (const auto& arg : args) command += " " + quoted(arg);
        const int status = std::system((command + " >out.txt 2>err.txt").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::file_text(dir_ / "out.txt"),
                testing::file_text(dir_ / "err.txt")};
    }

    std::vector<std::string> chat_settings() const {
        std::vector<std::string> settings;
        for (const char* family : {"CHAT_35_", "CHAT_4_"})
            for (const std::string& entry :
                 {"API_BASE=" + chat_.azure_endpoint(), std::string("API_KEY=key-secret"),
                  std::string("API_VERSION=2024-02-01"), std::string("DEPLOPMENT_NAME=dep")})
                settings.push_back(family + entry);
        return settings;
    }

    // The product service's Azure records, both pointing at the chat stub.
    Value service_deployments() const {
        Value records = Value::array();
        for (const char* model : {"GPT-3.5", "GPT-4o"})
            records.push_back({{"model", model},
                               {"deployment_name", "dep"},
                               {"azure_endpoint", chat_.azure_endpoint()},
                               {"api_key", "key-secret"},
                               {"api_version", "v"}});
        return records;
    }

    std::string database() const { return "sqlite:///" + testing::chinook_sqlite(); }

    stubs::ChatStub chat_{script()};
    testing::ScratchDirectory dir_;
};

TEST_F(VeltaaiProgram, AsksAndPrintsTheAnswerOrExitsWithAClearStatus) {
    Finished done = run({"ask", "--database", database(), "--media", "plots", kQuestion}, chat_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(
        done.out.find("\n" + kAnswer + "\n\nSQL queries:\n  1. " + kQuery +
                      "\n     result: [('Rock', 1297), ('Latin', 579), ('Metal', 374)]\n\nPython code:\n" +
                      kCode),
        std::string::npos)
        << done.out;
    EXPECT_EQ(done.out.find("Image:"), std::string::npos) << done.out;  // no plot was drawn
    EXPECT_TRUE(fs::is_directory(dir_ / "plots"));
    for (const char* node :
         {"] init_node ", "] sql_execution_node ", "] final_response_generation_node ", "tokens: "})
        EXPECT_NE(done.err.find(node), std::string::npos) << node << "\n" << done.err;
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);
    EXPECT_EQ(done.err.find("sandbox at level"), std::string::npos) << "said with -v only";
    done = run({"ask", "-v", "--database", database(), kQuestion}, chat_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.err.find("veltaai: analysis code runs in the sandbox at level bubblewrap\n"),
              std::string::npos)
        << done.err;

    // From the product service, which then gets the usage report.
    stubs::ServiceStub service(Value{{"azure-openais", {{"body", Value::array()}}}});
    service.set_answer("azure-openais", 200, service_deployments());
    const std::string service_url = "VELTA_API_URL=" + service.url();
    done = run({"ask", "--service", "-q", "--database", database(), "Top genres?"},
               {service_url, "VELTA_API_KEY=vk-secret"});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find(kAnswer), std::string::npos) << done.out;
    EXPECT_EQ(done.err, "");
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["velta_api_key"], "vk-secret");
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);

    // Configuration problems: 2, with the reason.
    done = run({"ask", "--service", "--database", database(), "q"}, {service_url});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("VELTA_API_KEY"), std::string::npos) << done.err;
    EXPECT_EQ(run({"ask", "q"}, chat_settings()).status, 2);
    done = run({"ask", "--database", database(), "q"}, {"CHAT_35_API_BASE=http://x"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("CHAT_35_DEPLOPMENT_NAME, CHAT_4_API_BASE, CHAT_4_DEPLOPMENT_NAME"),
              std::string::npos)
        << done.err;
    EXPECT_EQ(run({"bogus"}, {}).status, 2);

    // A run whose model calls all fail: 1, and no answer.
    chat_.set_script(Value::array({{{"status", 400}, {"error", "quota"}, {"repeat", true}}}));
    done = run({"ask", "--database", database(), "q"}, chat_settings());
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.out.find("An error occurred when running the agent: "), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("SQL queries:"), std::string::npos) << done.out;
}

TEST_F(VeltaaiProgram, AQuestionWhoseSqlNeverSucceedsPrintsTheAnswerQueriesAndLastErrorThenExitsOne) {
    const std::string broken = "SELECT Nmae FROM Genre";
    chat_.set_script(Value::array({
        tool_reply("select_relevant_tables",
                   {{"tool_call",
                     {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Genre"}}}}}}}),
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", broken}}}}),
        tool_reply("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Name the genres."}}}}),
        tool_reply("GenerationOutput", {{"structured",
                                         {{"image_path", "/tmp/none.png"},
                                          {"final_response", "The genre names could not be read."}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", broken}, {"repeat", true}},
    }));
    stubs::ServiceStub service;
    service.set_answer("azure-openais", 200, service_deployments());
    const Finished done = run({"ask", "--service", "-q", "--database", database(), "Which genres?"},
                              {"VELTA_API_URL=" + service.url(), "VELTA_API_KEY=vk-secret"});
    EXPECT_EQ(done.status, 1) << done.out << done.err;
    EXPECT_NE(done.out.find("\nThe genre names could not be read.\n\nSQL queries:\n  1. " + broken +
                            "\n     result: "),
              std::string::npos)
        << done.out;
    EXPECT_NE(done.out.find("  6. " + broken), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("\nLast database error: no such column: Nmae"), std::string::npos) << done.out;
    for (const char* absent : {"Python code:", "Image:", "An error occurred", "pandas_code"})
        EXPECT_EQ(done.out.find(absent), std::string::npos) << absent << "\n" << done.out;
    EXPECT_NE(done.err.find("no SQL query of the run succeeded"), std::string::npos) << done.err;
    // The model calls were paid for, so they are reported.
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["query"], "Which genres?");
}

// ---------------------------------------------------------------------------------------------
// Any OpenAI-compatible server, and the command line as scripts use it

// The graph's script as an OpenAI-compatible server gets it: the tables are chosen by a prompt
// (RelevantTablesOutput), not by Azure function calling.
Value openai_script(const std::string& code = kCode) {
    return {{"openai_strict", true}, {"api_key", "sk-secret"}, {"replies", replies(TablePick::prompt, code)}};
}

class OpenAICompatible : public VeltaaiProgram {
protected:
    OpenAICompatible() { chat_.set_script(openai_script()); }

    std::vector<std::string> openai_settings(std::vector<std::string> more = {}) const {
        std::vector<std::string> settings = {"OPENAI_BASE_URL=" + chat_.openai_base_url(),
                                             "OPENAI_API_KEY=sk-secret", "VELTAAI_MODEL=local-general",
                                             "VELTAAI_SQL_MODEL=local-sql"};
        settings.insert(settings.end(), more.begin(), more.end());
        return settings;
    }

    // The model each request named, by the structured reply it asked for ("review" for none).
    std::map<std::string, std::set<std::string>> models_by_kind() const {
        std::map<std::string, std::set<std::string>> kinds;
        for (const auto& request : chat_.requests()) {
            const Value choice = request.body.value("tool_choice", Value());
            const std::string kind =
                choice.is_object() ? choice["function"]["name"].get<std::string>() : "review";
            kinds[kind].insert(request.body.value("model", std::string("<none>")));
            EXPECT_EQ(request.path, "/v1/chat/completions");
        }
        return kinds;
    }
};

TEST_F(OpenAICompatible, EveryRequestNamesItsModelAndTheJsonDocumentIsAllOfStdout) {
    Finished done = run({"ask", "--json", "--database", database(), kQuestion}, openai_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    const Value document = Value::parse(done.out);  // one document, nothing around it
    expect_answered(document);
    EXPECT_EQ(document["python_code"], kCode);
    EXPECT_EQ(document["python_output"], "top genre: Rock\n");
    EXPECT_TRUE(document["image_path"].is_null());
    EXPECT_GT(document["tokens"].get<long>(), 0);
    EXPECT_TRUE(document["error"].is_null());
    std::set<std::string> timed;
    for (const Value& timing : document["timings"]) timed.insert(timing["node"].get<std::string>());
    for (const char* node :
         {"init_node", "relevant_table_names_node", "sql_execution_node", "final_response_generation_node"})
        EXPECT_TRUE(timed.count(node)) << node;
    // The library's status line went to standard error with the progress.
    EXPECT_NE(done.err.find("Agent is Ready!"), std::string::npos) << done.err;
    EXPECT_NE(done.err.find("] init_node started"), std::string::npos) << done.err;

    const auto kinds = models_by_kind();
    EXPECT_EQ(kinds.at("SQLQueryInput"), std::set<std::string>{"local-sql"});
    for (const char* kind : {"RelevantTablesOutput", "PythonCodeInput", "GenerationOutput", "review"})
        EXPECT_EQ(kinds.at(kind), std::set<std::string>{"local-general"}) << kind;
    EXPECT_EQ((done.out + done.err).find("sk-secret"), std::string::npos);

    // Flags name the models and the provider; quiet leaves standard error empty.
    chat_.clear_requests();
    done = run({"ask", "--json", "-q", "--provider", "openai", "--model", "flag-general", "--sql-model",
                "flag-sql", "--database", database(), "Top genres?"},
               {"OPENAI_BASE_URL=" + chat_.openai_base_url(), "OPENAI_API_KEY=sk-secret"});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_EQ(done.err, "");
    EXPECT_EQ(Value::parse(done.out)["answer"], kAnswer);
    EXPECT_EQ(models_by_kind().at("SQLQueryInput"), std::set<std::string>{"flag-sql"});
    EXPECT_EQ(models_by_kind().at("GenerationOutput"), std::set<std::string>{"flag-general"});
}

TEST_F(OpenAICompatible, ConfigurationErrorsNameTheVariablesTheCommandReads) {
    // No model anywhere.
    Finished done = run({"ask", "--provider", "openai", "--database", database(), "q"},
                        {"OPENAI_BASE_URL=" + chat_.openai_base_url()});
    EXPECT_EQ(done.status, 2);
    for (const char* variable :
         {"--model", "VELTAAI_MODEL", "OPENAI_BASE_URL", "OPENAI_API_KEY", "VELTAAI_SQL_MODEL"})
        EXPECT_NE(done.err.find(variable), std::string::npos) << variable << "\n" << done.err;
    for (const char* foreign : {"AZURE_OPENAI_API_KEY", "OPENAI_API_VERSION"})
        EXPECT_EQ(done.err.find(foreign), std::string::npos) << foreign << "\n" << done.err;
    // The public service without a key.
    done = run({"ask", "--database", database(), "q"}, {"VELTAAI_MODEL=gpt-4o-mini"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("OPENAI_API_KEY is not set"), std::string::npos) << done.err;
    // Nothing configured: both ways are named.
    done = run({"ask", "--json", "--database", database(), "q"}, {});
    EXPECT_EQ(done.status, 2);
    for (const char* variable :
         {"OPENAI_BASE_URL", "VELTAAI_MODEL", "CHAT_35_API_KEY", "CHAT_4_API_VERSION", "VELTA_API_KEY"})
        EXPECT_NE(done.err.find(variable), std::string::npos) << variable << "\n" << done.err;
    EXPECT_NE(
        Value::parse(done.out)["error"]["message"].get<std::string>().find("no chat model is configured"),
        std::string::npos);
    // Azure deployments lacking their keys and versions: all eight are checked.
    done =
        run({"ask", "--database", database(), "q"}, {"CHAT_35_API_BASE=http://x", "CHAT_35_DEPLOPMENT_NAME=a",
                                                     "CHAT_4_API_BASE=http://x", "CHAT_4_DEPLOPMENT_NAME=b"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("CHAT_35_API_KEY, CHAT_35_API_VERSION, CHAT_4_API_KEY, CHAT_4_API_VERSION"),
              std::string::npos)
        << done.err;
    EXPECT_EQ(
        run({"ask", "--provider", "anthropic", "--database", database(), "q"}, openai_settings()).status, 2);

    // A wrong key reaches the server, which refuses it: its own message is the cause.
    done = run({"ask", "--json", "--database", database(), "q"},
               {"OPENAI_BASE_URL=" + chat_.openai_base_url(), "OPENAI_API_KEY=sk-wrong", "VELTAAI_MODEL=m"});
    EXPECT_EQ(done.status, 1) << done.out << done.err;
    const Value error = Value::parse(done.out)["error"];
    EXPECT_NE(error["cause"].get<std::string>().find("401: Incorrect API key provided."), std::string::npos)
        << error;
    EXPECT_NE(done.err.find("Incorrect API key provided."), std::string::npos) << done.err;
}

TEST_F(OpenAICompatible, ProgressShowsStartsEndsAndRetriesAndFailuresShowTheirRealCause) {
    // One 429 before the answers: the retry is shown, and the run still answers.
    Value script = openai_script();
    script["replies"].insert(script["replies"].begin(),
                             Value{{"status", 429}, {"error", "slow down"}, {"retry_after", "0"}});
    chat_.set_script(script);
    Finished done = run({"ask", "--database", database(), "Top genres?"}, openai_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.err.find("retrying in 0.0 s after 429"), std::string::npos) << done.err;
    const std::size_t started = done.err.find("] sql_generation_node started");
    const std::size_t ended = done.err.find("] sql_generation_node ", started + 1);
    EXPECT_NE(started, std::string::npos) << done.err;
    EXPECT_NE(ended, std::string::npos) << done.err;

    // On a terminal: one live line redrawn in place, no line per node.
    chat_.set_script(openai_script());
    std::string command = "cd '" + dir_.path().string() + "' && env -i PATH=/usr/bin:/bin TERM=dumb";
    for (const auto& entry : openai_settings()) command += " '" + entry + "'";
    command += std::string(" script -qec \"'") + VELTAAI_PROGRAM + "' ask --database '" + database() +
               "' 'Top genres?'\" /dev/null >tty.txt";
    ASSERT_EQ(std::system(command.c_str()), 0) << testing::file_text(dir_ / "tty.txt");
    const std::string tty = testing::file_text(dir_ / "tty.txt");
    EXPECT_NE(tty.find("\r\033[K"), std::string::npos);
    EXPECT_EQ(tty.find(" started"), std::string::npos) << tty;
    EXPECT_NE(tty.find(kAnswer), std::string::npos) << tty;

    // Analysis code that fails every time: the answer still comes, with Python's own error.
    chat_.set_script(openai_script("print(1 / 0)\n"));
    done = run({"ask", "--json", "--database", database(), "Top genres?"}, openai_settings());
    EXPECT_EQ(done.status, 1) << done.out << done.err;
    Value document = Value::parse(done.out);
    EXPECT_EQ(document["answer"], kAnswer);
    EXPECT_EQ(document["error"]["message"], "the analysis code failed every time it ran");
    EXPECT_NE(document["error"]["cause"].get<std::string>().find("ZeroDivisionError"), std::string::npos)
        << document;
    done = run({"ask", "-q", "--database", database(), "Top genres?"}, openai_settings());
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.out.find("\nLast Python error: ZeroDivisionError"), std::string::npos) << done.out;

    // SQL that never runs: the database's message, in the document too.
    chat_.set_script(openai_script());
    Value broken = openai_script();
    broken["replies"][1] =
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", "SELECT Nmae FROM Genre"}}}});
    broken["replies"][4]["content"] = "SELECT Nmae FROM Genre";
    broken["replies"].push_back(
        tool_reply("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Genres?"}}}}));
    chat_.set_script(broken);
    done = run({"ask", "--json", "-q", "--database", database(), "Which genres?"}, openai_settings());
    EXPECT_EQ(done.status, 1) << done.out << done.err;
    document = Value::parse(done.out);
    EXPECT_EQ(document["error"]["message"], "no SQL query of the run succeeded");
    EXPECT_EQ(document["error"]["cause"], "no such column: Nmae");
    EXPECT_EQ(document["queries"][0]["error"], "no such column: Nmae");
}

// ---------------------------------------------------------------------------------------------
// Looking at the database without a model

TEST_F(VeltaaiProgram, TablesSchemaAndSqlNeedNoModel) {
    const std::string url = database();
    Finished done = run({"tables", "--database", url}, {});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out.rfind("Album\nArtist\nCustomer\n", 0), 0u) << done.out;
    EXPECT_NE(done.out.find("\nTrack\n"), std::string::npos);

    done = run({"schema", "Genre", "MediaType"}, {"VELTAAI_DATABASE_URL=" + url});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out.rfind("CREATE TABLE Genre (\n\tGenreId INTEGER NOT NULL,", 0), 0u) << done.out;
    EXPECT_NE(done.out.find("3 rows from MediaType table:"), std::string::npos) << done.out;
    done = run({"schema", "--database", url, "NoSuchTable"}, {});
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.err.find("NoSuchTable"), std::string::npos) << done.err;

    done = run({"sql", "--database", url, "SELECT GenreId, Name FROM Genre ORDER BY GenreId LIMIT 2"}, {});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "[(1, 'Rock'), (2, 'Jazz')]\n");
    done = run(
        {"sql", "--json", "--database", url, "SELECT GenreId, Name FROM Genre ORDER BY GenreId LIMIT 2"}, {});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(Value::parse(done.out)["queries"][0]["rows"], Value::parse(R"([[1, "Rock"], [2, "Jazz"]])"));
    EXPECT_EQ(run({"sql", "--database", url, "SELECT nothing FROM Genre"}, {}).status, 1);
    EXPECT_EQ(run({"sql", "SELECT 1"}, {}).status, 2);  // no database
    EXPECT_EQ(run({"sql", "--database", "sqlite:////nonexistent/x.sqlite", "SELECT 1"}, {}).status, 2);
}

// `veltaai sql` takes any text from the command line: it must refuse to change the database
// the way the agent's own queries are refused. Checked against PostgreSQL with a snapshot
// taken by psql, outside the program.
TEST_F(VeltaaiProgram, SqlCommandRefusesEveryWayOfWritingToTheDatabase) {
    const auto env = testing::server_env();
    ASSERT_TRUE(env) << testing::kStartServers;
    const testing::Server& pg = env->postgres;
    const std::string url = "postgresql://" + pg.user + ":" + pg.password + "@" + pg.host + ":" +
                            std::to_string(pg.port) + "/veltaai_fixtures";
    const std::string psql = "PGPASSWORD='" + pg.password + "' psql -qAt -h " + pg.host + " -p " +
                             std::to_string(pg.port) + " -U " + pg.user + " -d veltaai_fixtures -c ";
    const auto snapshot = [&] {
        const std::string out = (dir_ / "snapshot.txt").string();
        const std::string query =
            "\"SELECT md5(string_agg(c::text, ',' ORDER BY c::text)) FROM customers c\" "
            "-c \"SELECT count(*) FROM pg_tables WHERE schemaname NOT IN ('pg_catalog', "
            "'information_schema')\" -c \"SELECT current_setting('default_transaction_read_only')\"";
        EXPECT_EQ(std::system((psql + query + " >" + out).c_str()), 0);
        return testing::file_text(out);
    };
    const std::string before = snapshot();
    ASSERT_FALSE(before.empty());
    for (const std::string hostile : {
             "DELETE FROM customers",
             "SELECT 1; DELETE FROM customers",
             "WITH gone AS (DELETE FROM customers RETURNING *) SELECT * FROM gone",
             "SELECT 1 /* ; */; DROP TABLE customers",
             "COMMIT; DROP TABLE customers",
             "SELECT set_config('default_transaction_read_only', 'off', false)",
             "SET default_transaction_read_only = off",
             "CREATE TABLE planted AS SELECT * FROM customers",
             "SELECT * INTO planted FROM customers",
             "COPY customers TO PROGRAM 'true'",
             "SELECT pg_read_file('/etc/passwd')",
             "SELECT lo_import('/etc/passwd')",
             "EXPLAIN ANALYZE DELETE FROM customers",
             "SELECT * FROM customers FOR UPDATE",
         }) {
        const Finished done = run({"sql", "--database", url, hostile}, {});
        EXPECT_EQ(done.status, 1) << hostile << "\n" << done.out;
        EXPECT_EQ(done.out, "") << hostile;
        EXPECT_NE(done.err.find("veltaai: "), std::string::npos) << hostile;
    }
    EXPECT_EQ(snapshot(), before);
    const Finished fine = run({"sql", "--database", url, "SELECT count(*) FROM customers"}, {});
    EXPECT_EQ(fine.status, 0) << fine.err;
}

}  // namespace
}  // namespace veltaai

#include "veltaai/cli/commands.h"

#include "veltaai/agent.h"
#include "veltaai/answer_document.h"
#include "veltaai/cli/progress.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/core/status.h"
#include "veltaai/core/text.h"
#include "veltaai/llm/service.h"
#include "veltaai/python/sandbox.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <filesystem>
#include <iostream>
#include <memory>

namespace veltaai::cli {
namespace {

std::string text_of(const Value& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// Results can be thousands of rows; the terminal shows their start.
std::string shortened(const std::string& text) {
    constexpr std::size_t limit = 300;
    if (text.size() <= limit) return text;
    return text.substr(0, limit) + "... (" + std::to_string(text.size()) + " characters)";
}

// The fixed texts of the command line.
namespace texts {
constexpr const char* prefix = "veltaai: ";
constexpr const char* no_database =
    "no database given: pass --database URL or set VELTAAI_DATABASE_URL (e.g. sqlite:///chinook.sqlite)";
constexpr const char* no_api_key = "--service needs the product API key in VELTA_API_KEY";
constexpr const char* service_incomplete = "the product service gave no complete chat model configurations";
constexpr const char* cannot_build = "cannot set up the agent: ";
constexpr const char* run_failed = "the question could not be answered";
constexpr const char* no_answer = "no answer came back from the agent";
constexpr const char* sql_failed = "no SQL query of the run succeeded; the answer above says what went wrong";
constexpr const char* sql_failed_short = "no SQL query of the run succeeded";
constexpr const char* last_database_error = "Last database error: ";
constexpr const char* no_database_error = "none (every query ran but returned no rows)";
constexpr const char* python_failed = "the analysis code failed every time it ran";
constexpr const char* python_error = "Last Python error: ";
constexpr const char* media_unusable = "cannot use the media directory: ";
constexpr const char* draw_failed = "cannot draw the graph: ";
constexpr const char* cannot_open = "cannot open the database: ";
constexpr const char* sandbox_level = "analysis code runs in the sandbox at level ";
}  // namespace texts

void complain(const std::string& message) {
    std::cerr << texts::prefix << message << std::endl;
}

std::optional<std::string> database_url_of(const std::optional<std::string>& given) {
    if (given && !given->empty()) return given;
    return environment_variable("VELTAAI_DATABASE_URL");
}

// How a run ended, for the person and for the document.
struct Verdict {
    int status = exit_ok;
    std::string error;  // empty: answered
    std::string cause;
};

// The analysis code's last error, when its repairs ran out (the answer came without it).
std::optional<std::string> python_failure(const Value& final_state) {
    if (!final_state.is_object()) return std::nullopt;
    const auto success = final_state.find("python_execution_success");
    if (success == final_state.end() || !success->is_boolean() || success->get<bool>()) return std::nullopt;
    const auto message = final_state.find("python_error_message");
    return message == final_state.end() ? std::string() : text_of(*message);
}

Verdict verdict_of(const agent::RunOutcome& outcome) {
    if (!outcome.error.empty()) return {exit_run_failed, outcome.error, outcome.error_cause};
    const Value& result = outcome.result;
    if (!result.is_object() || !result.contains("generated_query")) {
        return {exit_run_failed, result.is_object() ? texts::run_failed : texts::no_answer, ""};
    }
    if (outcome.sql_failed) {
        return {exit_run_failed, texts::sql_failed_short,
                outcome.last_database_error.value_or(texts::no_database_error)};
    }
    if (const auto python = python_failure(outcome.final_state))
        return {exit_run_failed, texts::python_failed, *python};
    return {};
}

void print_answer(const Value& record) {
    const Value& output = record["output"];
    std::cout << "\n" << text_of(output) << "\n";

    const Value& queries = record["generated_query"];
    const Value& results = record["sql_execution_result"];
    if (queries.is_array() && !queries.empty()) {
        std::cout << "\nSQL queries:\n";
        for (std::size_t i = 0; i < queries.size(); ++i) {
            std::cout << "  " << i + 1 << ". " << text_of(queries[i]) << "\n";
            if (results.is_array() && i < results.size()) {
                std::cout << "     result: " << shortened(text_of(results[i])) << "\n";
            }
        }
    }
    const Value& code = record["python_code"];
    if (code.is_string() && !code.get<std::string>().empty())
        std::cout << "\nPython code:\n" << code.get<std::string>() << "\n";
    const Value& image = record["image_path"];
    if (image.is_string() && !image.get<std::string>().empty())
        std::cout << "\nImage: " << image.get<std::string>() << "\n";
    std::cout.flush();
}

// Indented for people, with each query's rows and each timing on one line.
std::string readable(Value document) {
    std::vector<std::string> pieces;
    const auto compact = [&pieces](Value& value) {
        pieces.push_back(value.dump());
        value = "\x01piece " + std::to_string(pieces.size() - 1);
    };
    if (document.contains("queries")) {
        for (Value& query : document["queries"]) {
            if (query.contains("rows") && !query["rows"].is_null()) compact(query["rows"]);
        }
    }
    if (document.contains("timings")) {
        for (Value& timing : document["timings"]) compact(timing);
    }
    std::string text = document.dump(2);
    // The markers appear in the order they were made, after the question and the answer, so
    // searching on from the previous one never lands in a text of the document.
    std::size_t at = text.find("\"queries\"");
    for (std::size_t i = 0; i < pieces.size() && at != std::string::npos; ++i) {
        const std::string marker = "\"\\u0001piece " + std::to_string(i) + "\"";
        at = text.find(marker, at);
        if (at == std::string::npos) break;
        text.replace(at, marker.size(), pieces[i]);
        at += pieces[i].size();
    }
    return text;
}

void print_document(const AnswerRun& run) {
    std::cout << readable(answer_document(run)) << std::endl;
}

// A failure before any run, as the person or the program reading --json needs it.
int refuse(const AskOptions& options, int status, const std::string& message) {
    complain(message);
    if (options.json) {
        AnswerRun run;
        run.question = options.question;
        run.error = message;
        print_document(run);
    }
    return status;
}

// Keeps the retry observer set for one run.
class RetryWatch {
public:
    explicit RetryWatch(llm::RetryObserver observer) { llm::set_retry_observer(std::move(observer)); }
    ~RetryWatch() { llm::set_retry_observer(nullptr); }
    RetryWatch(const RetryWatch&) = delete;
    RetryWatch& operator=(const RetryWatch&) = delete;
};

std::shared_ptr<querygraph::CustomSQLDatabase> open_database(const std::optional<std::string>& given) {
    const std::optional<std::string> url = database_url_of(given);
    if (!url) throw ConfigurationError(texts::no_database);
    try {
        return querygraph::CustomSQLDatabase::from_uri(*url);
    } catch (const std::exception& error) {
        throw ConfigurationError(texts::cannot_open + std::string(error.what()));
    }
}

// Runs a database command, turning its failures into the exit status.
template <class Command>
int database_command(Command&& command) {
    try {
        command();
        std::cout.flush();
        return exit_ok;
    } catch (const ConfigurationError& error) {
        complain(error.what());
        return exit_usage;
    } catch (const std::exception& error) {
        complain(error.what());
        return exit_run_failed;
    }
}

}  // namespace

int ask(const AskOptions& options) {
    // The progress lines already show what the info log would; failures still get through.
    if (!options.verbose) log::set_level(options.quiet ? log::Level::error : log::Level::warning);
    // The document is all that standard output carries; quiet means nothing on standard error.
    static std::ostream discarded(nullptr);
    if (options.json) set_status_stream(options.quiet ? discarded : std::cerr);

    const std::optional<std::string> database_url = database_url_of(options.database_url);
    if (!database_url) return refuse(options, exit_usage, texts::no_database);
    const std::optional<std::string> api_key = environment_variable("VELTA_API_KEY");
    if (options.models.use_service && !api_key) return refuse(options, exit_usage, texts::no_api_key);

    std::shared_ptr<querygraph::QueryGraph> graph;
    try {
        graph = build_agent(*database_url, options.models);
    } catch (const ConfigurationError& error) {
        return refuse(options, exit_usage, error.what());
    } catch (const std::exception& error) {
        return refuse(options, exit_usage, texts::cannot_build + std::string(error.what()));
    }
    if (!graph) return refuse(options, exit_usage, texts::service_incomplete);
    if (options.verbose) {
        std::cerr << texts::prefix << texts::sandbox_level
                  << python::sandbox_level_name(python::sandbox_level()) << std::endl;
    }

    agent::RunOutcome outcome;
    std::vector<NodeTiming> timings;
    try {
        Progress progress(Progress::mode_for(options.quiet), std::cerr);
        const RetryWatch retries(progress.retry_observer());
        const graph::RunObserver observer = progress.run_observer();
        const agent::AgentInvoke invoke = [&graph, &observer](const Value& inputs) {
            return graph->invoke(inputs, observer);
        };
        outcome = agent::run_question(invoke, options.question, options.media_dir);
        timings = progress.timings();
    } catch (const std::filesystem::filesystem_error& error) {
        return refuse(options, exit_usage, texts::media_unusable + std::string(error.what()));
    } catch (const std::exception& error) {
        return refuse(options, exit_run_failed, error.what());
    }
    if (outcome.tokens && outcome.cost && !options.quiet)
        std::cerr << "  tokens: " << *outcome.tokens << ", cost: $" << *outcome.cost << std::endl;
    if (options.models.use_service) agent::report_usage(outcome, *api_key, options.question);

    const Verdict verdict = verdict_of(outcome);
    if (options.json) {
        AnswerRun run;
        run.question = options.question;
        run.final_state = outcome.final_state;
        run.tokens = outcome.tokens.value_or(0);
        run.cost = outcome.cost.value_or(0);
        run.timings = std::move(timings);
        run.error = verdict.error;
        run.cause = verdict.cause;
        print_document(run);
        if (!verdict.error.empty())
            complain(verdict.error + (verdict.cause.empty() ? "" : ": " + verdict.cause));
        return verdict.status;
    }

    if (!outcome.error.empty()) {
        complain(std::string(texts::run_failed) + ": " + outcome.error +
                 (outcome.error_cause.empty() ? "" : " (" + outcome.error_cause + ")"));
        return exit_run_failed;
    }
    if (verdict.status != exit_ok && !outcome.sql_failed && verdict.error != texts::python_failed) {
        complain(verdict.error);
        return verdict.status;
    }
    print_answer(outcome.result);
    if (outcome.sql_failed) {
        // The model's answer explains the failure; the user also gets what the database said.
        std::cout << "\n" << texts::last_database_error << verdict.cause << "\n";
        std::cout.flush();
        complain(texts::sql_failed);
    } else if (verdict.status != exit_ok) {
        std::cout << "\n" << texts::python_error << verdict.cause << "\n";
        std::cout.flush();
        complain(texts::python_failed);
    }
    return verdict.status;
}

int tables(const std::optional<std::string>& database_url) {
    return database_command([&] {
        for (const std::string& name : open_database(database_url)->get_usable_table_names())
            std::cout << name << "\n";
    });
}

int schema(const std::optional<std::string>& database_url, const std::vector<std::string>& table_names) {
    return database_command(
        [&] { std::cout << open_database(database_url)->get_table_info(table_names) << "\n"; });
}

int sql(const std::optional<std::string>& database_url, const std::string& statement, bool json) {
    return database_command([&] {
        const std::string result = open_database(database_url)->run(statement);
        if (!json) {
            std::cout << result << "\n";
            return;
        }
        bool truncated = false;
        Value rows = result_rows(result, truncated);
        std::cout << readable(Value{{"queries", Value::array({{{"sql", statement},
                                                               {"rows", std::move(rows)},
                                                               {"truncated", truncated}}})}})
                  << "\n";
    });
}

int draw_graph(GraphFormat format, const std::optional<std::string>& png_path) {
    try {
        // The drawing needs the graph's shape only: no database, model or interpreter.
        const graph::DrawableGraph drawing = querygraph::query_graph_drawing();
        switch (format) {
            case GraphFormat::ascii:
                querygraph::visualize(drawing, "ascii");
                break;
            case GraphFormat::mermaid:
                std::cout << drawing.draw_mermaid() << std::flush;
                break;
            case GraphFormat::png:
                querygraph::visualize(drawing, "png", png_path.value_or("graph.png"));
                std::cerr << texts::prefix << "graph written to " << png_path.value_or("graph.png")
                          << std::endl;
                break;
        }
    } catch (const std::exception& error) {
        complain(texts::draw_failed + std::string(error.what()));
        return exit_run_failed;
    }
    return exit_ok;
}

}  // namespace veltaai::cli
